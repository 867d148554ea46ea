// The session body a client sends to create or change its session:
//   {"intervalMs":5000,"exchanges":["Binance","Bitget"],"coins":["BTC","SUI"],"krw":true,
//    "client":"vindral-pc"}
// read into the configuration the session runs with ("krw":true asks for Upbit's KRW prices of
// the coins and the USD/KRW rate). The rules are the client's own: an interval
// out of range is clamped, an empty selection falls back to Bitget alone and BTC alone. Anything
// that is not such a body is refused with a Korean reason for the 400 answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/board.h"

namespace vindral {

struct SessionSettings {
    EngineConfig config;  // normalized; the server URL stays empty
    std::string client;   // the client's name, for the log; empty when not given
};

// Empty with the reason in `error` when the body is not a session body.
std::optional<SessionSettings> parseSessionBody(std::string_view body, std::string& error);

}  // namespace vindral
