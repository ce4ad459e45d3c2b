#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The head of one HTTP/1.x request, read as its bytes arrive, and the small
// responses of a server that answers one request per connection and then
// closes it. Only what a monitoring scrape needs: the method, the path and
// its query; header fields are checked for form and otherwise ignored.

// The most bytes a head may take, its closing empty line included. A line
// longer than that makes the head too large as well.
constexpr std::size_t HTTP_HEAD_MAX = 4096;

enum class HttpHeadStatus {
    incomplete,  // no empty line yet: feed more bytes
    complete,    // method and path are set
    bad_request, // not an HTTP/1.x request head
    too_large,   // more than the reader's head_max bytes without the end of the head
};

struct HttpHead {
    HttpHeadStatus status;
    std::string_view method; // case-sensitive, as sent ("GET")
    std::string_view path;   // the target without its "?query"
    std::string_view query;  // what follows the target's first '?', or ""
};

// Where a head's reading stands between calls; one per connection, zeroed.
struct HttpHeadReader {
    // The most bytes the head may take; a browser's, with its cookies, may
    // want more than a scrape's.
    std::size_t head_max = HTTP_HEAD_MAX;
    HttpHeadStatus status = HttpHeadStatus::incomplete;
    std::size_t scanned = 0;    // bytes already looked at
    std::size_t line_start = 0; // the line not yet ended begins here
    std::size_t method_length = 0;
    std::size_t path_start = 0;
    std::size_t path_length = 0;
    std::size_t query_start = 0;
    std::size_t query_length = 0;
};

// Reads on from where the reader stopped. received holds every byte of the
// request so far, the earlier ones unchanged; the views returned point into
// it. A line is judged when its line feed arrives, so each byte is looked at
// once however the bytes are split. Lines may end in CRLF or a bare LF. Once
// the status is final, later calls return it again. Bytes after the head (a
// body, a second request) are not looked at.
HttpHead read_http_head(HttpHeadReader& reader, std::string_view received);

// How many of the received bytes a complete head took, its empty line
// included: what follows belongs to whatever comes after the head.
std::size_t http_head_length(const HttpHeadReader& reader);

// The values of the header fields called name (any case) in a complete
// head's bytes, each trimmed of blanks, joined with commas as HTTP allows
// for a list; "" when there is none. *found says whether there was one.
// Cost: O(head size).
std::string http_field(std::string_view head_bytes, std::string_view name, bool* found = nullptr);

// Whether the comma-separated list holds token, in any case.
bool http_list_has(std::string_view list, std::string_view token);

// text without the blanks (spaces, tabs) at either end.
std::string_view trim_blanks(std::string_view text);

// ASCII letters in lower case, other bytes as they are.
std::string ascii_lower(std::string_view text);
bool ascii_equal_ignoring_case(std::string_view a, std::string_view b);

enum class HttpStatus {
    ok = 200,
    bad_request = 400,
    forbidden = 403,
    not_found = 404,
    method_not_allowed = 405,
    upgrade_required = 426,
    header_fields_too_large = 431,
    service_unavailable = 503,
};

// The head of a response that ends the connection: the status line,
// Content-Type, Content-Length when the body's length is known (without it
// the body ends where the connection does), "Allow: GET, HEAD" on a 405,
// "Connection: close", and the empty line.
std::string http_response_head(HttpStatus status, std::string_view content_type,
                               std::optional<std::size_t> content_length);

// response with more header fields (each line ending in CRLF) at the end of
// its head.
std::string http_with_fields(std::string response, std::string_view fields);

// The head, then body. A HEAD request is answered head_only: the same head,
// which still gives the length of the body it leaves out.
std::string http_response(HttpStatus status, std::string_view content_type,
                          std::string_view body, bool head_only = false);

// The response to a failure: its reason phrase as a one-line text body.
std::string http_error_response(HttpStatus status, bool head_only = false);
