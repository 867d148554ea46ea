// What any host on the network can send to the server's port: the bytes of a request through an
// HTTP parser bounded as the server's connections bound theirs, then the request target split as
// the server routes it and the long poll's query read.
#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "json/json.h"
#include "server/http_server.h"
#include "server/json_writer.h"

namespace http = boost::beast::http;

namespace vindral {
namespace {

void checkQuery(std::string_view query) {
    using fuzz::check;
    std::string error;
    const std::optional<NextQuery> next = parseNextQuery(query, error);
    if (next) {
        check(error.empty());
        check(next->holdMs >= 0 && next->holdMs <= kMaxHoldMs);
        return;
    }
    check(!error.empty());
    const std::optional<JsonValue> answer = parseJson(jsonErrorBody(error));
    check(answer.has_value() && answer->find("error") != nullptr);
}

}  // namespace
}  // namespace vindral

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    std::string_view input = fuzz::asText(data, size);
    http::request_parser<http::string_body> parser;
    parser.header_limit(kMaxHeaderBytes);
    parser.body_limit(kMaxBodyBytes);
    boost::beast::error_code ec;
    // The parser stops after the header unless it is given the rest again, as the server's read
    // of the body does.
    while (!input.empty() && !parser.is_done()) {
        const std::size_t used = parser.put(boost::asio::buffer(input.data(), input.size()), ec);
        if (ec || used == 0) {
            break;
        }
        input.remove_prefix(used);
    }
    if (!parser.is_header_done()) {
        return 0;
    }
    const auto target = parser.get().target();
    const std::string_view text(target.data(), target.size());
    const std::size_t mark = text.find('?');
    checkQuery(mark == std::string_view::npos ? std::string_view() : text.substr(mark + 1));
    if (parser.is_done()) {
        fuzz::check(parser.get().body().size() <= kMaxBodyBytes);
    }
    return 0;
}
