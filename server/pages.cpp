// The server's own pages.
#include "pages.h"

#include "pagewriter.h"

// Layout of the plain text pages: left margin, first baseline and line step
// in page units, the text size, and the characters a line holds at that
// size (Liberation Sans averages about 10 units a character at 20).
static const int TEXT_X = 24, TEXT_Y = 48, TEXT_STEP = 32, TEXT_SIZE = 20, TEXT_CHARS = 52;

static std::string escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string pages_host(const std::string& address)
{
    size_t a = address.find("://");
    a = a == std::string::npos ? 0 : a + 3;
    size_t b = address.find_first_of("/?#", a);
    std::string host = address.substr(a, b == std::string::npos ? std::string::npos : b - a);
    size_t at = host.rfind('@');
    if (at != std::string::npos)
        host = host.substr(at + 1);
    return host;
}

OwnPage pages_for_error(const std::string& e)
{
    if (e.find("ERR_NAME_NOT_RESOLVED") != std::string::npos || e.find("ERR_NAME_RESOLUTION_FAILED") != std::string::npos)
        return OWN_NOT_FOUND;
    static const char* const unreachable[] = {
        "ERR_CONNECTION_REFUSED", "ERR_CONNECTION_RESET", "ERR_CONNECTION_CLOSED", "ERR_CONNECTION_FAILED",
        "ERR_CONNECTION_TIMED_OUT", "ERR_ADDRESS_UNREACHABLE", "ERR_ADDRESS_INVALID", "ERR_EMPTY_RESPONSE",
        "ERR_INTERNET_DISCONNECTED", "ERR_TIMED_OUT", "ERR_NETWORK_CHANGED", "ERR_SSL_PROTOCOL_ERROR",
        "ERR_CONNECTION_ABORTED",
    };
    for (const char* u : unreachable)
        if (e.find(u) != std::string::npos)
            return OWN_UNREACHABLE;
    return OWN_FAILED;
}

std::string pages_html(OwnPage kind, const std::string& address, const std::string& detail)
{
    std::string host = escape(pages_host(address));
    std::string title, text, extra;
    bool show_address = true;
    switch (kind) {
    case OWN_START:
        title = "Corvanta";
        text = "Type an address in the box and tap Go. The address bar (the keypad button) opens addresses too.";
        extra = "<form id=go novalidate><input id=address type=text name=address placeholder=\"www.example.com\">"
                "<button type=submit>Go</button></form>"
                "<script>document.getElementById('go').onsubmit = function (e) {"
                " e.preventDefault();"
                " var a = document.getElementById('address').value.trim();"
                " if (!a) return;"
                " if (!/^[a-z][a-z0-9+.-]*:/i.test(a)) a = 'http://' + a;"
                " location.href = a; };</script>";
        show_address = false;
        break;
    case OWN_RESTARTED:
        title = "Browser restarted";
        text = "The browser engine stopped and has been started again. The page you were on had to be closed.";
        if (!address.empty())
            extra = "<p><a href=\"" + escape(address) + "\">Open it again</a></p>";
        break;
    case OWN_NOT_FOUND:
        title = "Address not found";
        text = "The name " + host + " could not be found.";
        break;
    case OWN_UNREACHABLE:
        title = "Server not reachable";
        text = "The server at " + host + " cannot be reached.";
        break;
    case OWN_HTTP_STATUS:
        title = "Page not available";
        text = "The server at " + host + " answered: " + escape(detail) + ".";
        break;
    case OWN_TIMEOUT:
        title = "No answer in time";
        text = "The page did not load within " + escape(detail) + " seconds.";
        break;
    case OWN_DOWNLOAD:
        title = "Download refused";
        text = "This address leads to a file to download" + (detail.empty() ? std::string() : " (" + escape(detail) + ")") +
               ". Files cannot be downloaded to this device.";
        break;
    case OWN_FAILED:
        title = "Page not opened";
        text = "The page could not be opened" + (detail.empty() ? std::string() : " (" + escape(detail) + ")") + ".";
        break;
    case OWN_NOT_ALLOWED:
        title = "Address not allowed";
        if (detail == "scheme")
            text = "This address is not allowed. This server opens web addresses only: those that start with "
                   "http: or https:.";
        else
            text = "This address is not allowed: " + host + " leads to an address that this server does not open (" +
                   escape(detail.empty() ? "private" : detail) + " range).";
        break;
    case OWN_LIMIT:
        title = "Page too large";
        text = escape(detail);
        break;
    case OWN_CRASHED:
        title = "Page crashed";
        text = "The page" + (host.empty() ? std::string() : " at " + host) +
               " stopped working in the browser engine and had to be closed.";
        if (!address.empty())
            extra = "<p><a href=\"" + escape(address) + "\">Open it again</a></p>";
        break;
    }
    std::string html =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title +
        "</title><style>"
        "body{margin:0;font:18px 'Liberation Sans',sans-serif;color:#222;background:#fff}"
        "h1{margin:0;padding:12px 20px;font-size:22px;font-weight:normal;color:#fff;background:#1d4f9e}"
        "p{margin:16px 20px;line-height:24px}"
        ".address{color:#1d4f9e;word-break:break-all}"
        "form{margin:16px 20px}"
        "input{font:18px 'Liberation Sans',sans-serif;width:440px;height:28px}"
        "button{font:18px 'Liberation Sans',sans-serif;height:32px;width:80px;margin-left:12px}"
        "</style></head><body><h1>" +
        title + "</h1><p>" + text + "</p>";
    if (show_address && !address.empty())
        html += "<p class=address>" + escape(address) + "</p>";
    html += extra + "</body></html>";
    return html;
}

// Splits a text at spaces into lines of at most TEXT_CHARS characters (a
// longer word, an address, is cut).
static std::vector<std::string> wrap(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    size_t i = 0;
    while (i < text.size()) {
        size_t sp = text.find(' ', i);
        std::string word = text.substr(i, sp == std::string::npos ? std::string::npos : sp - i);
        i = sp == std::string::npos ? text.size() : sp + 1;
        while (word.size() > size_t(TEXT_CHARS)) {
            if (!line.empty()) {
                lines.push_back(line);
                line.clear();
            }
            lines.push_back(word.substr(0, TEXT_CHARS));
            word = word.substr(TEXT_CHARS);
        }
        if (!line.empty() && line.size() + 1 + word.size() > size_t(TEXT_CHARS)) {
            lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

std::string pages_text_stream(const std::vector<std::string>& texts)
{
    std::string s;
    pw_fr(s, 0, 0, 640, 480);
    pw_sw_frame(s, 3, 0, 0);
    pw_bc(s, 255, 255, 255);
    pw_fc(s, 0, 0, 0);
    pw_cr(s, 3, 0, 0, 0, 0);
    pw_cr(s, 3, 0, 0, 640, 480);
    pw_sz(s, TEXT_SIZE);
    int y = TEXT_Y;
    for (const auto& t : texts) {
        for (const auto& line : wrap(t)) {
            if (y > 480 - 16)
                break;
            pw_ds(s, 3, TEXT_X, y, line);
            y += TEXT_STEP;
        }
        y += TEXT_STEP / 2;
    }
    return s;
}
