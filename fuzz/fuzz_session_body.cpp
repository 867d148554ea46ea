// The body any host on the network may send to create or change a session, through the server's
// reader and, when refused, through the error answer it gets back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.h"
#include "json/json.h"
#include "server/json_writer.h"
#include "server/session_body.h"

namespace vindral {
namespace {

// The client's name goes into the log, an error quotes at most a short piece of the body.
constexpr std::size_t kClientNameMaxBytes = 64;
constexpr std::size_t kErrorMaxBytes = 100;

// The error answer is JSON that reads back as the error, cleaned to valid UTF-8 where the cut of a
// quoted name split a character.
void checkErrorAnswer(const std::string& error) {
    using fuzz::check;
    const std::optional<JsonValue> answer = parseJson(jsonErrorBody(error));
    check(answer.has_value() && answer->kind == JsonKind::Object);
    const JsonValue* text = answer->find("error");
    check(text != nullptr && text->kind == JsonKind::String && fuzz::isValidUtf8(text->text));
    if (fuzz::isValidUtf8(error)) {
        check(text->text == error);
    }
}

}  // namespace
}  // namespace vindral

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    using fuzz::check;
    std::string error;
    const std::optional<SessionSettings> settings =
        parseSessionBody(fuzz::asText(data, size), error);
    if (!settings) {
        check(!error.empty() && error.size() <= kErrorMaxBytes);
        checkErrorAnswer(error);
        return 0;
    }
    // What a session runs with is already normalized, exactly as the client would have it.
    EngineConfig config = settings->config;
    check(toEngineConfig(config) == settings->config);
    check(config.intervalMs >= kMinIntervalMs && config.intervalMs <= kMaxIntervalMs);
    check(countExchanges(config) >= 1 && countCoins(config) >= 1);
    check(config.serverUrl.empty());
    check(settings->client.size() <= kClientNameMaxBytes);
    // Only a literal true asks for the Korean market.
    const std::optional<JsonValue> root = parseJson(fuzz::asText(data, size));
    const JsonValue* krw = root ? root->find("krw") : nullptr;
    check(config.kimchiPremium == (krw != nullptr && krw->kind == JsonKind::Bool && krw->boolean));
    return 0;
}
