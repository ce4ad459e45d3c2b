#include "protocol/http_request.h"

#include <algorithm>
#include <string>

namespace {

// The bytes a method or a header field's name may hold.
bool is_token_byte(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), is_token_byte);
}

bool is_visible(char c)
{
    return c > ' ' && c < 0x7F;
}

// A field value: any byte but the controls, tab allowed, and bytes from 0x80
// up, which old clients send as Latin-1.
bool is_field_value_byte(char c)
{
    auto byte = static_cast<unsigned char>(c);
    return byte == '\t' || (byte >= ' ' && byte != 0x7F);
}

// "METHOD /target HTTP/1.x": keeps where the method and the path lie.
// line_offset is where line starts in the received bytes.
bool take_request_line(HttpHeadReader& reader, std::string_view line, std::size_t line_offset)
{
    std::size_t method_end = line.find(' ');
    if (method_end == std::string_view::npos || !is_token(line.substr(0, method_end)))
        return false;
    std::size_t target_start = method_end + 1;
    std::size_t target_end = line.find(' ', target_start);
    if (target_end == std::string_view::npos)
        return false;
    std::string_view target = line.substr(target_start, target_end - target_start);
    if (target.empty() || target.front() != '/' ||
        !std::all_of(target.begin(), target.end(), is_visible))
        return false;
    std::string_view version = line.substr(target_end + 1);
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' ||
        version[7] > '9')
        return false;
    reader.method_length = method_end;
    reader.path_start = line_offset + target_start;
    reader.path_length = std::min(target.size(), target.find('?'));
    if (reader.path_length < target.size()) {
        reader.query_start = reader.path_start + reader.path_length + 1;
        reader.query_length = target.size() - reader.path_length - 1;
    }
    return true;
}

// "Name: value". A name with space before its colon, or a line that starts
// with white space (an old folded continuation), is refused, as a request
// smuggled past a proxy would use them.
bool is_header_line(std::string_view line)
{
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon)))
        return false;
    std::string_view value = line.substr(colon + 1);
    return std::all_of(value.begin(), value.end(), is_field_value_byte);
}

HttpHeadStatus judge_line(HttpHeadReader& reader, std::string_view line, std::size_t line_offset)
{
    if (reader.method_length == 0)
        return take_request_line(reader, line, line_offset) ? HttpHeadStatus::incomplete
                                                             : HttpHeadStatus::bad_request;
    if (line.empty())
        return HttpHeadStatus::complete;
    return is_header_line(line) ? HttpHeadStatus::incomplete : HttpHeadStatus::bad_request;
}

std::string_view reason_phrase(HttpStatus status)
{
    switch (status) {
    case HttpStatus::ok:
        return "OK";
    case HttpStatus::bad_request:
        return "Bad Request";
    case HttpStatus::forbidden:
        return "Forbidden";
    case HttpStatus::not_found:
        return "Not Found";
    case HttpStatus::method_not_allowed:
        return "Method Not Allowed";
    case HttpStatus::upgrade_required:
        return "Upgrade Required";
    case HttpStatus::header_fields_too_large:
        return "Request Header Fields Too Large";
    case HttpStatus::service_unavailable:
        return "Service Unavailable";
    }
    return "Unknown";
}

} // namespace

HttpHead read_http_head(HttpHeadReader& reader, std::string_view received)
{
    // Nothing past the bound is looked at: the head must end within it.
    std::string_view window = received.substr(0, std::min(received.size(), reader.head_max));
    while (reader.status == HttpHeadStatus::incomplete && reader.scanned < window.size()) {
        std::size_t line_feed = window.find('\n', reader.scanned);
        if (line_feed == std::string_view::npos) {
            reader.scanned = window.size();
            break;
        }
        std::string_view line = window.substr(reader.line_start, line_feed - reader.line_start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        reader.status = judge_line(reader, line, reader.line_start);
        reader.scanned = reader.line_start = line_feed + 1;
    }
    if (reader.status == HttpHeadStatus::incomplete && received.size() >= reader.head_max)
        reader.status = HttpHeadStatus::too_large;
    if (reader.status != HttpHeadStatus::complete)
        return {reader.status, {}, {}, {}};
    return {reader.status, received.substr(0, reader.method_length),
            received.substr(reader.path_start, reader.path_length),
            received.substr(reader.query_start, reader.query_length)};
}

std::size_t http_head_length(const HttpHeadReader& reader)
{
    return reader.status == HttpHeadStatus::complete ? reader.line_start : 0;
}

std::string_view trim_blanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

namespace {

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string ascii_lower(std::string_view text)
{
    std::string folded(text);
    for (char& c : folded)
        c = lower(c);
    return folded;
}

bool ascii_equal_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                               [](char x, char y) { return lower(x) == lower(y); });
}

std::string http_field(std::string_view head_bytes, std::string_view name, bool* found)
{
    std::string values;
    bool any = false;
    // Fields start on the line after the request line.
    std::size_t line_start = head_bytes.find('\n');
    while (line_start != std::string_view::npos && line_start + 1 < head_bytes.size()) {
        line_start++;
        std::size_t line_end = head_bytes.find('\n', line_start);
        std::string_view line = head_bytes.substr(line_start, line_end - line_start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && ascii_equal_ignoring_case(line.substr(0, colon), name)) {
            if (any)
                values += ',';
            values += trim_blanks(line.substr(colon + 1));
            any = true;
        }
        line_start = line_end;
    }
    if (found)
        *found = any;
    return values;
}

bool http_list_has(std::string_view list, std::string_view token)
{
    while (!list.empty()) {
        std::size_t comma = std::min(list.find(','), list.size());
        if (ascii_equal_ignoring_case(trim_blanks(list.substr(0, comma)), token))
            return true;
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return false;
}

std::string http_response_head(HttpStatus status, std::string_view content_type,
                               std::optional<std::size_t> content_length)
{
    std::string head = "HTTP/1.1 ";
    head += std::to_string(static_cast<int>(status));
    head += ' ';
    head += reason_phrase(status);
    head += "\r\nContent-Type: ";
    head += content_type;
    if (content_length) {
        head += "\r\nContent-Length: ";
        head += std::to_string(*content_length);
    }
    if (status == HttpStatus::method_not_allowed)
        head += "\r\nAllow: GET, HEAD";
    head += "\r\nConnection: close\r\n\r\n";
    return head;
}

std::string http_with_fields(std::string response, std::string_view fields)
{
    const std::size_t head_end = response.find("\r\n\r\n");
    if (head_end != std::string::npos)
        response.insert(head_end + 2, fields);
    return response;
}

std::string http_response(HttpStatus status, std::string_view content_type, std::string_view body,
                          bool head_only)
{
    std::string response = http_response_head(status, content_type, body.size());
    if (!head_only)
        response += body;
    return response;
}

std::string http_error_response(HttpStatus status, bool head_only)
{
    std::string body(reason_phrase(status));
    body += '\n';
    return http_response(status, "text/plain; charset=utf-8", body, head_only);
}
