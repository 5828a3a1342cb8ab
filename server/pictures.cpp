// The picture limit's pass through the page. Sizes are what the engine
// decodes: a picture by its own size, however small it is shown (a 4000 x
// 4000 picture in a 40 x 40 box still costs 16 million pixels), drawn content
// (inline SVG, frames) by its box, a canvas by its backing store. Pictures
// past the limit keep their place and lose their content (an empty source, a
// canvas of no pixels, a style picture set to none), so that the engine
// holds no more of them and the capture that follows decodes none of them.
#include "pictures.h"

const char* const PICTURES_WORLD = "corvanta-pictures";

static const char* const PASS = R"JS(
function (limit, wait) {
  // Every picture the page state holds, in document order, with the pixels
  // it costs the engine once decoded: pictures by their own sizes (a 4000 x
  // 4000 picture shown in 40 x 40 still decodes 16 million pixels), drawn
  // content (inline SVG, frames) by its box, a canvas by its backing store.
  // Those past the limit are left out: their place kept, their content
  // dropped so that the engine holds no more of them.
  var EMPTY = 'data:image/gif;base64,R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7';
  var SVG_NS = 'http://www.w3.org/2000/svg';
  var XLINK_NS = 'http://www.w3.org/1999/xlink';
  var CSS_PROPERTIES = ['background-image', 'list-style-image', 'border-image-source', '-webkit-mask-image', 'content'];
  var PSEUDOS = ['::before', '::after'];
  // Elements that have no ::before or ::after boxes, or whose are not drawn.
  var NO_PSEUDO = /^(img|input|canvas|video|audio|iframe|frame|object|embed|br|wbr|hr|select|textarea|option|optgroup|script|style|link|meta|head|title|base|source|track|param|area|map|picture)$/;
  var dpr = window.devicePixelRatio || 1;
  var items = [], sizes = {}, mark = 0;

  function boxPixels(el) {
    var r = el.getBoundingClientRect();
    return Math.ceil(r.width * dpr) * Math.ceil(r.height * dpr);
  }

  // The size of the picture at url ([width, height]; nothing when it is
  // none or has not arrived within the wait). The engine already holds the
  // page's pictures, so this is answered from its cache.
  function dims(url) {
    if (!url || url === EMPTY) return Promise.resolve([0, 0]);
    if (!Object.prototype.hasOwnProperty.call(sizes, url)) {
      sizes[url] = new Promise(function (done) {
        var im = new Image();
        var timer = setTimeout(function () { done([0, 0]); im.src = EMPTY; }, wait);
        im.onload = function () { clearTimeout(timer); done([im.naturalWidth, im.naturalHeight]); };
        im.onerror = function () { clearTimeout(timer); done([0, 0]); };
        im.src = url;
      });
    }
    return sizes[url];
  }

  // Its pixels once decoded.
  function natural(url) {
    return dims(url).then(function (d) { return d[0] * d[1]; });
  }

  function isSvgUrl(url) {
    return /^data:image\/svg/i.test(url) || /\.svgz?([?#]|$)/i.test(url);
  }

  // The addresses a computed value refers to; of an image-set, only the one
  // candidate the engine chose for this screen.
  function cssUrls(value) {
    var urls = [];
    if (!value || value.indexOf('url(') < 0) return urls;
    var re = /url\("((?:[^"\\]|\\.)*)"\)/g;
    function unquote(s) { return s.replace(/\\(.)/g, '$1'); }
    var i = 0;
    while (i < value.length) {
      var set = value.indexOf('image-set(', i), u = value.indexOf('url(', i);
      if (u < 0) break;
      if (set >= 0 && set < u) {
        // The matching bracket, quoted strings passed over.
        var depth = 0, j = set + 9, quoted = false;
        for (; j < value.length; j++) {
          var c = value.charAt(j);
          if (quoted) { if (c === '\\') j++; else if (c === '"') quoted = false; continue; }
          if (c === '"') quoted = true;
          else if (c === '(') depth++;
          else if (c === ')' && --depth === 0) break;
        }
        var group = value.slice(set, j + 1), best = null, m;
        var cand = /url\("((?:[^"\\]|\\.)*)"\)[^,]*?([\d.]+)(dppx|x|dpi|dpcm)?/g;
        while ((m = cand.exec(group))) {
          var res = parseFloat(m[2]);
          if (m[3] === 'dpi') res /= 96; else if (m[3] === 'dpcm') res *= 2.54 / 96;
          if (!best || (best.res < dpr ? res > best.res : res >= dpr && res < best.res)) best = {url: unquote(m[1]), res: res};
        }
        if (!best && (m = /url\("((?:[^"\\]|\\.)*)"\)/.exec(group))) best = {url: unquote(m[1])};
        if (best) urls.push(best.url);
        i = j + 1;
      } else {
        re.lastIndex = u;
        var one = re.exec(value);
        if (!one || one.index !== u) { i = u + 4; continue; }
        urls.push(unquote(one[1]));
        i = re.lastIndex;
      }
    }
    return urls;
  }

  function sum(values) {
    return Promise.all(values).then(function (v) { return v.reduce(function (a, b) { return a + b; }, 0); });
  }

  // Keeps a box where it is while its content goes.
  function holdPlace(el) {
    var r = el.getBoundingClientRect();
    el.style.setProperty('width', r.width + 'px', 'important');
    el.style.setProperty('height', r.height + 'px', 'important');
    el.style.setProperty('visibility', 'hidden', 'important');
  }

  // Rules that drop a pseudo-element's pictures, in a sheet of this pass's
  // own adopted by the document or shadow root the element is in.
  function pseudoRule(el, root, rule) {
    var win = el.ownerDocument.defaultView;
    if (!root.__cvSheet || root.adoptedStyleSheets.indexOf(root.__cvSheet) < 0) {
      root.__cvSheet = new win.CSSStyleSheet();
      root.adoptedStyleSheets = root.adoptedStyleSheets.concat([root.__cvSheet]);
    }
    var id = el.getAttribute('data-cv-out');
    if (!id) {
      id = String(Date.now()) + '-' + mark++;
      el.setAttribute('data-cv-out', id);
    }
    root.__cvSheet.insertRule('[data-cv-out="' + id + '"]' + rule, root.__cvSheet.cssRules.length);
  }

  function addCss(el, root, cs, pseudo) {
    for (var p = 0; p < CSS_PROPERTIES.length; p++) {
      var prop = CSS_PROPERTIES[p];
      var urls = cssUrls(cs.getPropertyValue(prop));
      if (!urls.length) continue;
      (function (prop, urls) {
        var pixels = sum(urls.map(natural));
        var win = el.ownerDocument.defaultView;
        items.push({pixels: pixels, back: function () {
          return cssUrls(win.getComputedStyle(el, pseudo).getPropertyValue(prop)).length > 0;
        }, out: function () {
          if (!pseudo) {
            el.style.setProperty(prop, prop === 'content' ? 'normal' : 'none', 'important');
          } else if (prop === 'content') {
            // A content picture's box is its own size; an empty box of that
            // size keeps the place.
            return Promise.all(urls.map(dims)).then(function (all) {
              var w = 0, h = 0;
              all.forEach(function (d) { w += d[0]; h = Math.max(h, d[1]); });
              pseudoRule(el, root, pseudo + '{content:""!important;display:inline-block!important;width:' + w +
                         'px!important;height:' + h + 'px!important}');
            });
          } else {
            pseudoRule(el, root, pseudo + '{' + prop + ':none!important}');
          }
        }});
      })(prop, urls);
    }
  }

  // The elements of a document or shadow root in document order; those
  // inside a box that is not laid out are skipped for their style, since
  // the engine fetches style pictures only for boxes it lays out.
  function visit(root) {
    var all = root.querySelectorAll('*'), hidden = null;
    for (var k = 0; k < all.length; k++) {
      var el = all[k];
      if (hidden && hidden.contains(el)) {
        visitElement(el, root, null);
        continue;
      }
      var cs = el.namespaceURI === SVG_NS ? null : el.ownerDocument.defaultView.getComputedStyle(el);
      if (cs && cs.display === 'none') {
        hidden = el;
        cs = null;
      }
      visitElement(el, root, cs);
    }
  }

  function visitElement(el, root, cs) {
    var tag = el.localName;
    if (el.namespaceURI === SVG_NS) {
      if (tag === 'svg' && !el.ownerSVGElement) {
        // Drawn content: its box, unless it was left out and is still empty.
        items.push({pixels: el.__cvLeftOut && !el.firstChild ? 0 : boxPixels(el), back: function () {
          return !!el.firstChild;
        }, out: function () {
          holdPlace(el);
          while (el.firstChild) el.removeChild(el.firstChild);
          el.__cvLeftOut = true;
        }});
      } else if (tag === 'image' || tag === 'feImage') {
        var href = el.href && el.href.baseVal;
        if (href && href !== EMPTY) {
          items.push({pixels: natural(new URL(href, el.baseURI).href), back: function () {
            return el.getAttribute('href') !== EMPTY || el.hasAttributeNS(XLINK_NS, 'href');
          }, out: function () {
            el.removeAttributeNS(XLINK_NS, 'href');
            el.setAttribute('href', EMPTY);
          }});
        }
      }
      return;
    }
    if (tag === 'img') {
      var src = el.currentSrc || el.src;
      if (src && src !== EMPTY) {
        var own = el.srcset || (el.parentNode && el.parentNode.localName === 'picture');
        var pixels = own ? natural(src) : el.naturalWidth * el.naturalHeight;
        if (isSvgUrl(src)) pixels = Promise.resolve(pixels).then(function (n) { return Math.max(n, boxPixels(el)); });
        items.push({pixels: pixels, back: function () {
          return el.getAttribute('src') !== EMPTY || el.hasAttribute('srcset') ||
                 !!(el.parentNode && el.parentNode.localName === 'picture' && el.parentNode.querySelector('source[srcset]'));
        }, out: function () {
          holdPlace(el);
          if (el.parentNode && el.parentNode.localName === 'picture')
            Array.prototype.forEach.call(el.parentNode.querySelectorAll('source'), function (s) { s.removeAttribute('srcset'); });
          el.removeAttribute('srcset');
          el.src = EMPTY;
        }});
      }
    } else if (tag === 'input') {
      if (el.type === 'image' && el.src && el.src !== EMPTY) {
        items.push({pixels: natural(el.src), back: function () { return el.getAttribute('src') !== EMPTY; },
                    out: function () { holdPlace(el); el.src = EMPTY; }});
      }
    } else if (tag === 'canvas') {
      // The backing store, whether or not anything was drawn in it.
      items.push({pixels: el.width * el.height, back: function () {
        return el.isConnected && el.width * el.height > 0;
      }, out: function () {
        holdPlace(el);
        try {
          el.width = 0; el.height = 0;
        } catch (e) {
          // Handed to a worker: only a fresh canvas in its place frees it.
          var fresh = el.ownerDocument.createElement('canvas');
          fresh.style.cssText = el.style.cssText;
          fresh.className = el.className;
          fresh.width = 0; fresh.height = 0;
          el.replaceWith(fresh);
        }
      }});
    } else if (tag === 'video') {
      var frame = el.videoWidth * el.videoHeight;
      items.push({pixels: sum([natural(el.poster), frame]), back: function () {
        return el.hasAttribute('poster') || el.hasAttribute('src') || !!el.querySelector('source');
      }, out: function () {
        holdPlace(el);
        el.removeAttribute('poster');
        el.removeAttribute('src');
        Array.prototype.forEach.call(el.querySelectorAll('source'), function (s) { s.remove(); });
        el.load();
      }});
    } else if (tag === 'iframe' || tag === 'frame') {
      var blank = function () { return el.getAttribute('src') === 'about:blank' && !el.hasAttribute('srcdoc'); };
      if (!el.__cvLeftOut || !blank()) {
        items.push({pixels: boxPixels(el), back: function () { return !blank(); }, out: function () {
          holdPlace(el);
          el.removeAttribute('srcdoc');
          el.src = 'about:blank';
          el.__cvLeftOut = true;
        }});
      }
    } else if (tag === 'object' || tag === 'embed') {
      var data = tag === 'object' ? el.data : el.src;
      if (data) {
        var box = boxPixels(el);
        items.push({pixels: Promise.resolve(natural(data)).then(function (n) { return Math.max(n, box); }),
                    back: function () { return el.isConnected; }, out: function () {
          // Its content goes with it; an empty box of its size stays.
          var r = el.getBoundingClientRect(), cs = getComputedStyle(el);
          var hole = el.ownerDocument.createElement('span');
          hole.style.cssText = el.style.cssText;
          hole.className = el.className;
          hole.style.setProperty('display', cs.display === 'inline' ? 'inline-block' : cs.display, 'important');
          hole.style.setProperty('width', r.width + 'px', 'important');
          hole.style.setProperty('height', r.height + 'px', 'important');
          hole.style.setProperty('visibility', 'hidden', 'important');
          el.replaceWith(hole);
        }});
      }
    }
    if (cs) {
      addCss(el, root, cs, null);
      if (!NO_PSEUDO.test(tag)) {
        for (var p = 0; p < PSEUDOS.length; p++) {
          var ps = el.ownerDocument.defaultView.getComputedStyle(el, PSEUDOS[p]);
          if (ps.content !== 'none' && ps.content !== 'normal') addCss(el, root, ps, PSEUDOS[p]);
        }
      }
    }
    if (el.shadowRoot) visit(el.shadowRoot);
    if (tag === 'iframe' || tag === 'frame' || tag === 'object') {
      var doc = null;
      try { doc = el.contentDocument; } catch (e) {}
      if (doc && doc.documentElement) visit(doc);
    }
  }

  // Leaves out those past the limit. A page whose scripts put them back is
  // answered in kind a few times, and then reported as fighting.
  function leaveOut(list, round) {
    var work = [], done = [];
    list.forEach(function (it) {
      try { work.push(it.out()); done.push(it); } catch (e) {}
    });
    return Promise.all(work).then(function () {
      return new Promise(function (next) { setTimeout(next, 0); });
    }).then(function () {
      var again = done.filter(function (it) { try { return it.back(); } catch (e) { return false; } });
      if (!again.length) return false;
      return round >= 2 ? true : leaveOut(again, round + 1);
    });
  }

  visit(document);
  return Promise.all(items.map(function (it) { return it.pixels; })).then(function (pixels) {
    var total = 0, past = [];
    for (var i = 0; i < items.length; i++) {
      var n = pixels[i];
      if (!(n > 0)) continue;
      if (total + n <= limit) total += n;
      else past.push(items[i]);
    }
    if (!past.length) return {out: 0, held: total};
    return leaveOut(past, 0).then(function (fighting) {
      return {out: past.length, held: total, fighting: fighting, url: location.href};
    });
  });
})JS";

std::string pictures_limit_expression(int64_t limit, int wait_ms)
{
    return std::string("(") + PASS + ")(" + std::to_string(limit) + ", " + std::to_string(wait_ms) + ")";
}
