// The HTTP request head reader and the small responses of the metrics port.
#include "protocol/http_request.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using namespace std::string_literals;

HttpHead read_whole(std::string_view bytes)
{
    HttpHeadReader reader;
    return read_http_head(reader, bytes);
}

void expect_same(const HttpHead& got, const HttpHead& want, const std::string& how)
{
    EXPECT_EQ(got.status, want.status) << how;
    EXPECT_EQ(got.method, want.method) << how;
    EXPECT_EQ(got.path, want.path) << how;
    EXPECT_EQ(got.query, want.query) << how;
}

TEST(HttpHead, EverySplitOfTheBytesGivesTheSameVerdict)
{
    const std::string requests[] = {
        "GET /metrics?x=1 HTTP/1.1\r\nHost: 127.0.0.1:9100\r\nAccept: */*\r\n\r\n",
        "GET /sessions HTTP/1.0\n\nextra bytes",
        "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
        "GET /metrics HTTP/1.1\r\nHost\r\n\r\n",
        "GET /metrics HTTP/1.1\r\r\n\r\n",
        "GET /" + std::string(HTTP_HEAD_MAX, 'a') + " HTTP/1.1\r\n\r\n",
    };
    for (const std::string& request : requests) {
        HttpHead whole = read_whole(request);
        for (std::size_t cut = 0; cut <= request.size(); cut++) {
            HttpHeadReader reader;
            read_http_head(reader, std::string_view(request).substr(0, cut));
            expect_same(read_http_head(reader, request), whole,
                        "cut at " + std::to_string(cut) + " of " + request.substr(0, 30));
        }
        HttpHeadReader reader;
        HttpHead last{};
        for (std::size_t size = 1; size <= request.size(); size++)
            last = read_http_head(reader, std::string_view(request).substr(0, size));
        expect_same(last, whole, "byte by byte: " + request.substr(0, 30));
    }
}

TEST(HttpHead, CompleteHeadGivesMethodPathAndQuery)
{
    HttpHead head = read_whole("GET /metrics?name[]=x?y HTTP/1.1\r\nHost: h\r\nX-Empty:\r\n\r\n");
    EXPECT_EQ(head.status, HttpHeadStatus::complete);
    EXPECT_EQ(head.method, "GET");
    EXPECT_EQ(head.path, "/metrics");
    EXPECT_EQ(head.query, "name[]=x?y");
    EXPECT_EQ(read_whole("GET /sessions? HTTP/1.1\r\n\r\n").query, "");
    EXPECT_EQ(read_whole("GET / HTTP/1.1\r\nHost: h\r\n").status, HttpHeadStatus::incomplete);
    EXPECT_EQ(read_whole("").status, HttpHeadStatus::incomplete);
    HttpHead latin1 = read_whole("GET /a HTTP/1.1\r\nUser-Agent: caf\xe9\t1\r\n\r\n");
    EXPECT_EQ(latin1.status, HttpHeadStatus::complete) << "obsolete text in a value is allowed";
}

TEST(HttpHead, OtherMethodsAreReadForTheCallerToRefuse)
{
    HttpHead post = read_whole("POST /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(post.status, HttpHeadStatus::complete);
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(read_whole("get /metrics HTTP/1.1\r\n\r\n").method, "get") << "methods are case-sensitive";
}

TEST(HttpHead, MalformedRequestLinesAndFieldsAreBadRequests)
{
    const std::string bad[] = {
        "GET /metrics\r\n\r\n",
        "GET metrics HTTP/1.1\r\n\r\n",
        "GET  /metrics HTTP/1.1\r\n\r\n",
        "GET /a b HTTP/1.1\r\n\r\n",
        "GET / HTTP/2.0\r\n\r\n",
        "GET / HTTP/1.1 \r\n\r\n",
        "GET / http/1.1\r\n\r\n",
        "G(T / HTTP/1.1\r\n\r\n",
        "\r\nGET / HTTP/1.1\r\n\r\n",
        "GET /\x7f HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nHost : h\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: h\r\n folded\r\n\r\n",
        "GET / HTTP/1.1\r\nX: a\0b\r\n\r\n"s,
        "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n",
    };
    for (const std::string& request : bad)
        EXPECT_EQ(read_whole(request).status, HttpHeadStatus::bad_request) << request;
    EXPECT_EQ(read_whole("BREW /pot HTCPCP/1.0\r\n").status, HttpHeadStatus::bad_request)
        << "the request line is judged before the head ends";
}

TEST(HttpHead, BoundedToTheHeadLimit)
{
    std::string start = "GET / HTTP/1.1\r\nX: ";
    std::string exact = start + std::string(HTTP_HEAD_MAX - start.size() - 4, 'v') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), HTTP_HEAD_MAX);
    EXPECT_EQ(read_whole(exact).status, HttpHeadStatus::complete);
    std::string unended = exact.substr(0, HTTP_HEAD_MAX - 4) + "v\r\n\r\n";
    EXPECT_EQ(read_whole(unended.substr(0, HTTP_HEAD_MAX - 1)).status, HttpHeadStatus::incomplete);
    EXPECT_EQ(read_whole(unended).status, HttpHeadStatus::too_large)
        << "a head one byte over the limit";
    EXPECT_EQ(read_whole("GET /" + std::string(HTTP_HEAD_MAX, 'p')).status,
              HttpHeadStatus::too_large)
        << "a request line that never ends";
}

TEST(HttpResponse, StatusLineHeadersAndBody)
{
    EXPECT_EQ(http_response(HttpStatus::ok, "application/json", "[]\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 3\r\n"
              "Connection: close\r\n\r\n[]\n");
    EXPECT_EQ(http_error_response(HttpStatus::method_not_allowed),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 19\r\nAllow: GET, HEAD\r\nConnection: close\r\n\r\n"
              "Method Not Allowed\n");
    EXPECT_EQ(http_response(HttpStatus::ok, "application/json", "[]\n", true),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 3\r\n"
              "Connection: close\r\n\r\n")
        << "HEAD: the same head, no body";
    EXPECT_EQ(http_response_head(HttpStatus::ok, "application/json", std::nullopt),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(http_error_response(HttpStatus::header_fields_too_large)
                    .starts_with("HTTP/1.1 431 Request Header Fields Too Large\r\n"));
}

} // namespace
