// The client side of the price server's session API as a wire format: request URLs and time-outs,
// the session body, the board document, its mapping onto the program's board, and the Korean
// failure texts. Pure functions; the session client decides when to send what.
//
// Requests (base = the normalised server URL, ID = the session id, SEQ = the last accepted seq):
//   create   POST   createSessionUrl(base)             session body  kCreateSessionTimeoutMs
//   poll     GET    nextBoardUrl(base, ID, SEQ)        empty         kNextBoardTimeoutMs
//   update   PUT    sessionUrl(base, ID)               session body  kUpdateSessionTimeoutMs
//   refresh  POST   refreshSessionUrl(base, ID)        empty         kRefreshSessionTimeoutMs
//   delete   DELETE sessionUrl(base, ID)               empty         kDeleteSessionTimeoutMs
// Create answers a board with 200 or 201, poll and update with 200; a 404 to poll or update means
// the server forgot the session (isSessionGone).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/board.h"
#include "net/http_client.h"

namespace vindral {

inline constexpr std::int32_t kCreateSessionTimeoutMs = 15000;
// How long the server may hold a long poll, and how long the client waits for its answer.
inline constexpr std::int32_t kNextBoardHoldMs = 20000;
inline constexpr std::int32_t kNextBoardTimeoutMs = 30000;
inline constexpr std::int32_t kUpdateSessionTimeoutMs = 10000;
inline constexpr std::int32_t kRefreshSessionTimeoutMs = 5000;
inline constexpr std::int32_t kDeleteSessionTimeoutMs = 1500;

// One "cells" entry of a board document; exchange and coin are catalog indices.
struct ServerCell {
    std::uint32_t exchange = 0;
    std::uint32_t coin = 0;
    bool hasData = false;
    bool lastOk = false;
    double price = 0.0;
    double prevPrice = 0.0;
    double open24h = 0.0;
    double latencyMs = 0.0;
    std::int64_t updatedAtMs = 0;  // server wall clock
    std::uint64_t seq = 0;
    std::string error;
    // Sent with data whose price is not a finite positive number, or whose reference is not
    // finite: the cell carries no new price and counts as failed.
    bool unusablePrice = false;
};

// One "stats" entry of a board document.
struct ServerExchangeStats {
    std::uint32_t exchange = 0;
    std::uint64_t scheduled = 0;
    std::uint64_t ok = 0;
    std::uint64_t failed = 0;
    std::uint64_t overrun = 0;
    double avgLatencyMs = 0.0;
};

// The "fx" member of a board document: the USD/KRW rate the server holds.
struct ServerFx {
    bool hasData = false;
    bool lastOk = false;
    FxQuote quote;  // postedAtMs is the source's own time, never moved by the clock offset
    std::string error;
    // Sent with data whose rate is not a finite positive number: no new rate, a failure.
    bool unusableRate = false;
};

// A parsed board document. Entries naming an exchange or coin outside the catalogs are dropped.
// The Korean market's members come only to a session that asked for them; an older server never
// sends them, and then `krw` stays empty and `krwStats` and `fx` absent.
struct ServerBoard {
    std::string sessionId;
    std::uint64_t seq = 0;
    std::int64_t serverTimeMs = 0;  // 0 when the document gave none
    std::vector<ServerCell> cells;
    std::vector<ServerExchangeStats> stats;
    std::vector<ServerCell> krw;                  // Upbit's KRW cells; `exchange` is unused
    std::optional<ServerExchangeStats> krwStats;  // `exchange` is unused
    std::optional<ServerFx> fx;
};

// Catalog index of an exchange name or coin symbol, compared exactly (case-sensitive); -1 if none.
std::int32_t exchangeIndexByName(std::string_view name);
std::int32_t coinIndexBySymbol(std::string_view symbol);

// Every byte outside A-Z a-z 0-9 - . _ ~ as %XX, so a session id from the server can never add a
// path segment, a query or a header line to a URL. An ordinary id comes back unchanged.
std::wstring percentEncode(std::string_view bytes);

// Session ids longer than this are refused: an id goes into every request line.
inline constexpr std::size_t kMaxSessionIdBytes = 128;

// Whether a created session's id can be used: 1 to kMaxSessionIdBytes printable ASCII characters.
bool isUsableSessionId(std::string_view id);

std::wstring createSessionUrl(std::wstring_view baseUrl);
// The session itself: the target of the settings update and of the delete.
std::wstring sessionUrl(std::wstring_view baseUrl, std::string_view sessionId);
std::wstring nextBoardUrl(std::wstring_view baseUrl, std::string_view sessionId,
                          std::uint64_t afterSeq);
std::wstring refreshSessionUrl(std::wstring_view baseUrl, std::string_view sessionId);

// The session JSON (interval, switched-on exchanges and coins in catalog order, and "krw":true
// when the Korean market is wanted) as UTF-8.
std::string buildSessionBody(const EngineConfig& config);

// True when `body` is a board document; `board` is then replaced as a whole. False assigns the
// Korean reason to `error` and leaves `board` untouched.
bool parseServerBoard(std::string_view body, ServerBoard& board, std::string& error);

// The text shown for a request that yielded no usable board, never empty. `fallback` (the parse
// error) is used when the status said a board had come and the parse gave a reason.
std::string serverErrorText(const HttpResponse& response, std::string_view fallback);

// A 404 read to the end: the server no longer knows the session, which is not an error to show.
bool isSessionGone(const HttpResponse& response);

// Mirrors an accepted board onto the engine's cells and statistics (the caller holds the engine
// lock). Cells of switched-off exchanges or coins, and anything the board does not mention, keep
// their values; a cell with an unusable price keeps its price and takes the format error. Server
// times are moved onto the local clock by (localNowMs - serverTimeMs); a board without a server
// time moves nothing, since a huge offset would keep old prices fresh for ever. stats.lastTickMs
// becomes localNowMs; maxLatencyMs is left alone. While config.kimchiPremium is on, the KRW cells
// of switched-on coins, Upbit's statistics and the rate go into `krw` by the same rules (the
// rate's posting time is its source's and is not moved); otherwise `krw` is left alone.
void applyServerBoard(const ServerBoard& board, const EngineConfig& config, CellGrid& cells,
                      BoardStats& stats, KrwBoard& krw, std::int64_t localNowMs);

}  // namespace vindral
