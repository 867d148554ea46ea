#include "server/session_body.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "json/json.h"
#include "net/server_protocol.h"

namespace vindral {
namespace {

// A name quoted back in an error text is cut so a hostile body cannot make the answer large.
constexpr std::size_t kQuotedNameMaxBytes = 40;
constexpr std::size_t kClientNameMaxBytes = 64;

std::string cut(std::string text, std::size_t maxBytes) {
    if (text.size() > maxBytes)
        text.resize(maxBytes);
    return text;
}

// Reads a list of catalog names into flags. A missing member is an empty selection; anything
// else that is not an array of known names is refused.
template <std::size_t N, typename Lookup>
bool readSelection(const JsonValue& root, std::string_view member, Lookup lookup,
                   std::string_view unknownLabel, std::array<bool, N>& flags, std::string& error) {
    flags.fill(false);
    const JsonValue* list = root.find(member);
    if (list == nullptr)
        return true;
    if (list->kind != JsonKind::Array) {
        error = std::string(member) + "는 이름의 배열이어야 합니다";
        return false;
    }
    for (const JsonValue& item : list->items) {
        const std::int32_t index =
            item.kind == JsonKind::String ? lookup(item.text) : std::int32_t{-1};
        if (index < 0) {
            error = std::string(unknownLabel) + cut(item.asText(), kQuotedNameMaxBytes);
            return false;
        }
        flags[static_cast<std::size_t>(index)] = true;
    }
    return true;
}

}  // namespace

std::optional<SessionSettings> parseSessionBody(std::string_view body, std::string& error) {
    const std::optional<JsonValue> root = parseJson(body);
    if (!root || root->kind != JsonKind::Object) {
        error = "세션 본문이 JSON 객체가 아닙니다";
        return std::nullopt;
    }
    // NaN and the infinities cannot be clamped into a whole number of milliseconds.
    const std::optional<double> intervalMs = finiteNumber(root->find("intervalMs"));
    if (!intervalMs) {
        error = "intervalMs가 없거나 숫자가 아닙니다";
        return std::nullopt;
    }
    SessionSettings settings;
    EngineConfig& config = settings.config;
    // Clamped as a double first: the body may hold any magnitude.
    config.intervalMs = static_cast<std::int32_t>(std::clamp(
        *intervalMs, static_cast<double>(kMinIntervalMs), static_cast<double>(kMaxIntervalMs)));
    if (!readSelection(*root, "exchanges", exchangeIndexByName,
                       "알 수 없는 거래소: ", config.exchanges, error) ||
        !readSelection(*root, "coins", coinIndexBySymbol, "알 수 없는 코인: ", config.coins,
                       error)) {
        return std::nullopt;
    }
    // Anything but true (an older client sends nothing) leaves the Korean market out.
    const JsonValue* krw = root->find("krw");
    config.kimchiPremium = krw != nullptr && krw->kind == JsonKind::Bool && krw->boolean;
    config.serverUrl.clear();
    config = toEngineConfig(config);
    if (const JsonValue* client = root->find("client")) {
        settings.client = cut(client->asText(), kClientNameMaxBytes);
    }
    return settings;
}

}  // namespace vindral
