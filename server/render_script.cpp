// What the session asks of the engine for the renderer: the script for every
// new document, the settle script before each snapshot, the snapshot's
// parameters, and whether (and how) to capture the viewport.
#include <algorithm>

#include "server/render_internal.h"
#include "server/render_text.h"

// Every face the handheld can draw is Liberation Sans Regular without kerning
// or ligatures; the engine's scroll bars take exactly the strips where the
// handheld draws its own. Text set in columns flows in one: the engine's
// snapshot places every column's lines in the first column (and narrow
// columns read badly on a small screen anyway). In the page itself text is painted transparent, so
// that the capture holds only the pictures under it (the handheld draws the
// text itself); frames inside the page are pictures, their text included.
static const char* const FORCED_CSS =
    "*,*::before,*::after,*::marker,*::placeholder{"
    "font-family:\"Liberation Sans\"!important;font-weight:normal!important;font-style:normal!important;"
    "font-kerning:none!important;font-variant-ligatures:none!important;font-synthesis:none!important;"
    "font-variant-caps:normal!important;font-stretch:normal!important;font-feature-settings:normal!important}"
    "*{column-count:auto!important;column-width:auto!important}"
    "::-webkit-scrollbar{width:17px!important;height:17px!important}";
static const char* const HIDDEN_TEXT_CSS =
    "*,*::before,*::after,*::marker,*::placeholder{"
    "-webkit-text-fill-color:transparent!important;text-shadow:none!important;"
    "-webkit-text-stroke-width:0!important;caret-color:transparent!important}";

// Adds the forced sheet once per document; run again by the settle script
// in case the page replaced the document's adopted sheets.
static std::string adopt_sheet_js() {
    std::string css = nlohmann::json(FORCED_CSS).dump(), hidden = nlohmann::json(HIDDEN_TEXT_CSS).dump();
    return "(function(){try{var d=document,k='__cvSheet',s=d[k];"
           "if(!s){s=new CSSStyleSheet();s.replaceSync(" + css + "+(window.top===window?" + hidden + ":''));"
           "Object.defineProperty(d,k,{value:s,enumerable:false});}"
           "if(d.adoptedStyleSheets.indexOf(s)<0)d.adoptedStyleSheets=d.adoptedStyleSheets.concat([s]);"
           "}catch(e){}})();";
}

// Adds the layout faces (render_text.h) to the document's fonts, once.
static std::string add_faces_js() {
    std::string list = "[";
    for (int i = 0; i < render_face_count; i++) {
        if (i) list += ",";
        list += "[\"" + std::string(render_faces[i].family) + "\",\"" + render_faces[i].base64 + "\"]";
    }
    list += "]";
    return "(function(){try{var d=document,k='__cvFaces';if(d[k]||!d.fonts||typeof FontFace!=='function')return;"
           "Object.defineProperty(d,k,{value:1,enumerable:false});var F=" + list + ";"
           "for(var i=0;i<F.length;i++){var b=atob(F[i][1]),a=new Uint8Array(b.length);"
           "for(var j=0;j<b.length;j++)a[j]=b.charCodeAt(j);"
           "var f=new FontFace(F[i][0],a.buffer);d.fonts.add(f);f.load().catch(function(){});}"
           "}catch(e){}})();";
}

const std::string& render_new_document_script() {
    static const std::string script = adopt_sheet_js() + add_faces_js();
    return script;
}

// Snaps every element's font size to the sizes the handheld draws, as an
// important inline style, and gives it the layout face of that size (with
// Liberation Sans behind it for characters the face lacks). The size the
// page gave an element is remembered, so that a later settle (after a zoom)
// snaps from it again and not from an earlier snapped value. SVG content is
// a picture: left as drawn. An element whose own text holds characters the
// handheld cannot show (other scripts, emoji) has its text painted again, in
// Liberation Sans itself (the layout faces carry advances, not outlines), so
// that the capture holds it and the renderer sends it as a picture; when its
// text changes back, it is hidden and laid out for the handheld again. An
// element whose background is clipped to its text (gradient headings) gets
// Liberation Sans too, so that its glyphs cut the background picture. The result is a promise that
// settles when the faces are ready (evaluate it with awaitPromise).
std::string render_settle_script(const RenderViewport& viewport) {
    int lo = 16, hi = viewport.zoomed ? 20 : 26;
    std::string prefix = viewport.zoomed ? "cvz-" : "cv-";
    return adopt_sheet_js() + add_faces_js() +
           "(function(lo,hi,pre,F){var m=window.__cvSizes;"
           "if(!m){m=new WeakMap();Object.defineProperty(window,'__cvSizes',{value:m,enumerable:false});}"
           "var all=document.querySelectorAll('*'),want=[],i,P='-webkit-text-fill-color';"
           "for(i=0;i<all.length;i++){var e=all[i];if(!e.style||e instanceof SVGElement)continue;"
           "var r=m.get(e),st=e.style,n,p=false,c,k;"
           "if(r&&st.getPropertyValue('font-size')===r.size&&st.getPropertyPriority('font-size')==='important'){n=r.natural;k=r.clip;}"
           "else{var cs=getComputedStyle(e);n=parseFloat(cs.fontSize)||16;k=/text/.test(cs.webkitBackgroundClip||cs.backgroundClip||'');}"
           "var s=Math.round(n/2)*2;if(s<lo)s=lo;if(s>hi)s=hi;"
           "for(c=e.firstChild;c;c=c.nextSibling)if(c.nodeType===3&&F.test(c.data)){p=true;break;}"
           "want.push([e,n,s+'px',p||k?'\"Liberation Sans\"':'\"'+pre+s+'\", \"Liberation Sans\"',p,k]);}"
           "for(i=0;i<want.length;i++){var w=want[i],e2=w[0],r2=m.get(e2),s2=e2.style;"
           "if(!(r2&&r2.size===w[2]&&s2.getPropertyValue('font-size')===w[2]))s2.setProperty('font-size',w[2],'important');"
           "if(!(r2&&r2.family===w[3]&&s2.getPropertyValue('font-family')===w[3]))s2.setProperty('font-family',w[3],'important');"
           "if(w[4]){if(s2.getPropertyValue(P)!=='currentcolor'||s2.getPropertyPriority(P)!=='important')s2.setProperty(P,'currentcolor','important');}"
           "else if(r2&&r2.paint)s2.removeProperty(P);"
           "m.set(e2,{natural:w[1],size:w[2],family:w[3],paint:w[4],clip:w[5]});}"
           "var done=function(){return want.length;};"
           "if(!document.fonts)return done();"
           "return Promise.race([document.fonts.ready,new Promise(function(f){setTimeout(f,200);})]).then(done);"
           "})(" + std::to_string(lo) + "," + std::to_string(hi) + ",'" + prefix + "',/" + rtext_foreign_pattern() + "/u)";
}

const nlohmann::json& render_snapshot_params() {
    static const nlohmann::json params = [] {
        nlohmann::json styles = nlohmann::json::array();
        for (const char* s : RENDER_STYLE_NAMES) styles.push_back(s);
        return nlohmann::json{{"computedStyles", styles}, {"includeDOMRects", true}, {"includePaintOrder", true}};
    }();
    return params;
}

nlohmann::json render_capture_params(const nlohmann::json& snapshot, const RenderViewport& viewport) {
    if (!rpage_has_pictures(snapshot, viewport)) return nullptr;
    // The whole viewport at one CSS pixel per pixel: the renderer scales it
    // to the handheld's pixels itself and crops every picture from it.
    return nlohmann::json{{"format", "png"}, {"optimizeForSpeed", true}, {"fromSurface", true}};
}

bool render_init(std::string* error) { return rtext_init(error); }

const std::vector<std::string>& render_engine_switches() {
    static const std::vector<std::string> switches = {"--font-render-hinting=none"};
    return switches;
}
