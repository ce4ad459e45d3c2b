#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The head of one HTTP/1.x request, read as its bytes arrive, and the small
// whole responses of a server that answers one request per connection and
// then closes it. Only what a monitoring scrape needs: the method and the
// path; header fields are checked for form and otherwise ignored.

// The most bytes a head may take, its closing empty line included. A line
// longer than that makes the head too large as well.
constexpr std::size_t HTTP_HEAD_MAX = 4096;

enum class HttpHeadStatus {
    incomplete,  // no empty line yet: feed more bytes
    complete,    // method and path are set
    bad_request, // not an HTTP/1.x request head
    too_large,   // more than HTTP_HEAD_MAX bytes without the end of the head
};

struct HttpHead {
    HttpHeadStatus status;
    std::string_view method; // case-sensitive, as sent ("GET")
    std::string_view path;   // the target without its "?query"
};

// Where a head's reading stands between calls; one per connection, zeroed.
struct HttpHeadReader {
    HttpHeadStatus status = HttpHeadStatus::incomplete;
    std::size_t scanned = 0;    // bytes already looked at
    std::size_t line_start = 0; // the line not yet ended begins here
    std::size_t method_length = 0;
    std::size_t path_start = 0;
    std::size_t path_length = 0;
};

// Reads on from where the reader stopped. received holds every byte of the
// request so far, the earlier ones unchanged; the views returned point into
// it. A line is judged when its line feed arrives, so each byte is looked at
// once however the bytes are split. Lines may end in CRLF or a bare LF. Once
// the status is final, later calls return it again. Bytes after the head (a
// body, a second request) are not looked at.
HttpHead read_http_head(HttpHeadReader& reader, std::string_view received);

enum class HttpStatus {
    ok = 200,
    bad_request = 400,
    not_found = 404,
    method_not_allowed = 405,
    header_fields_too_large = 431,
    service_unavailable = 503,
};

// A whole response that ends the connection: the status line, Content-Type,
// Content-Length, "Connection: close", "Allow: GET" on a 405, then body.
std::string http_response(HttpStatus status, std::string_view content_type,
                          std::string_view body);

// The response to a failure: its reason phrase as a one-line text body.
std::string http_error_response(HttpStatus status);
