// The server's own pages: the start page, the error pages and the notice
// that the browser engine was restarted are small HTML documents, laid out
// and rendered by the engine like any web page; the login refusals (and the
// last resort when the engine is down) are short page streams of plain text.
#ifndef CV_SERVER_PAGES_H
#define CV_SERVER_PAGES_H

#include <string>
#include <vector>

enum OwnPage {
    OWN_START,        // after a login without a start address: an address box
    OWN_RESTARTED,    // the engine died and came back; detail: the address the session was on
    OWN_NOT_FOUND,    // the host name does not resolve
    OWN_UNREACHABLE,  // the host does not answer or refuses the connection
    OWN_HTTP_STATUS,  // detail: "404 Not Found"
    OWN_TIMEOUT,      // nothing arrived in time
    OWN_DOWNLOAD,     // detail: the file name
    OWN_FAILED,       // any other failure; detail: the engine's error code
    OWN_NOT_ALLOWED,  // an address this server does not open; detail: "scheme" or the refused range
    OWN_LIMIT,        // a page beyond a limit of the session; detail: which, in words
    OWN_CRASHED,      // the page's own process in the engine crashed (the engine goes on)
};

// The HTML of an own page about address.
std::string pages_html(OwnPage kind, const std::string& address, const std::string& detail);
// Which own page an engine error code ("net::ERR_NAME_NOT_RESOLVED") calls for.
OwnPage pages_for_error(const std::string& error_text);
// The host part of an address, for the texts.
std::string pages_host(const std::string& address);
// A page stream (from the frame declaration on, without CL and ST) showing
// the lines as plain text, wrapped to the page.
std::string pages_text_stream(const std::vector<std::string>& lines);

#endif
