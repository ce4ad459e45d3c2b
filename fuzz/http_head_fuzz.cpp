// The HTTP request head reader fed a request in pieces of random size: the
// verdict must be the one it gives the whole bytes at once, it must come
// within the head's bound, and a complete head's method and path must be
// what the caller relies on.
#include "fuzz/fuzz_support.h"
#include "protocol/http_request.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    FuzzRandom random(data[0]);
    const std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
    HttpHeadReader whole_reader;
    HttpHead whole = read_http_head(whole_reader, request);

    HttpHeadReader reader;
    HttpHead pieces{};
    for (std::size_t fed = 0; fed < request.size();) {
        fed += random.piece(request.size() - fed);
        pieces = read_http_head(reader, std::string_view(request).substr(0, fed));
    }
    if (request.empty())
        pieces = read_http_head(reader, request);
    fuzz_require(pieces.status == whole.status && pieces.method == whole.method &&
                     pieces.path == whole.path && pieces.query == whole.query,
                 "reading in pieces gave another verdict than reading at once");
    fuzz_require(whole.status != HttpHeadStatus::incomplete || request.size() < HTTP_HEAD_MAX,
                 "a head past its bound is still incomplete");
    if (whole.status == HttpHeadStatus::complete) {
        fuzz_require(!whole.method.empty() && whole.method.find(' ') == std::string_view::npos,
                     "a complete head without a method");
        fuzz_require(whole.path.starts_with('/') && whole.path.find_first_of("? \r\n") ==
                                                        std::string_view::npos,
                     "a complete head's path is not a bare path");
        fuzz_require(whole.path.data() + whole.path.size() <= request.data() + HTTP_HEAD_MAX,
                     "a path beyond the head's bound");
    }
    return 0;
}
