// A price server's board document through parsing and mapping onto the window's board, and on
// through the rules that read the board. Input: byte 0 holds the switched-on exchanges (one bit
// each, catalog order), byte 1 the coins, bytes 2-9 the local clock (little-endian ms); the rest
// is the document.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/board.h"
#include "fuzz/fuzz_support.h"
#include "net/server_protocol.h"

namespace vindral {
namespace {

constexpr std::string_view kUntouched = "untouched";
constexpr char kPreviousSessionId[] = "previous";

// Recognisable values in every cell, so that a cell the mapping must leave alone can be told.
CellGrid markedCells() {
    CellGrid cells;
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        for (std::uint32_t c = 0; c < kCoinCount; ++c) {
            PriceCell& cell = cells[e][c];
            cell.hasData = true;
            cell.price = 100.0 + e * kCoinCount + c;
            cell.prevPrice = cell.price - 1.0;
            cell.open24h = cell.price - 2.0;
            cell.latencyMs = 10.0;
            cell.updatedAtMs = 1700000000000 + c;
            cell.seq = 7;
            cell.error = "old";
        }
    }
    return cells;
}

bool sameCell(const PriceCell& a, const PriceCell& b) {
    return a.hasData == b.hasData && a.lastOk == b.lastOk && a.price == b.price &&
           a.prevPrice == b.prevPrice && a.open24h == b.open24h && a.latencyMs == b.latencyMs &&
           a.updatedAtMs == b.updatedAtMs && a.seq == b.seq && a.error == b.error;
}

// The last entry of the document for a cell, the one whose flags and error stay in place, and
// whether any entry for it brought a price.
struct SentForCell {
    const ServerCell* last = nullptr;
    bool anyWithData = false;
};

SentForCell sentForCell(const ServerBoard& board, std::uint32_t exchange, std::uint32_t coin) {
    SentForCell result;
    for (const ServerCell& sent : board.cells) {
        if (sent.exchange == exchange && sent.coin == coin) {
            result.last = &sent;
            result.anyWithData = result.anyWithData || sent.hasData;
        }
    }
    return result;
}

}  // namespace
}  // namespace vindral

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    using fuzz::check;
    std::string_view input = fuzz::asText(data, size);
    EngineConfig config;
    const std::uint64_t exchangeBits = fuzz::takeBytes(input, 1);
    const std::uint64_t coinBits = fuzz::takeBytes(input, 1);
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        config.exchanges[e] = (exchangeBits >> e) & 1u;
    }
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        config.coins[c] = (coinBits >> c) & 1u;
    }
    const auto localNowMs = static_cast<std::int64_t>(fuzz::takeBytes(input, 8));

    ServerBoard board;
    board.sessionId = kPreviousSessionId;
    std::string error(kUntouched);
    if (!parseServerBoard(input, board, error)) {
        check(error != kUntouched && !error.empty());
        check(board.sessionId == kPreviousSessionId && board.cells.empty());
        HttpResponse rejected;
        rejected.ok = true;
        rejected.status = 503;
        rejected.body = std::string(input);
        check(serverErrorText(rejected, error).starts_with("서버 HTTP 503"));
        return 0;
    }
    check(error == kUntouched);
    for (const ServerCell& sent : board.cells) {
        check(sent.exchange < kExchangeCount && sent.coin < kCoinCount);
    }
    for (const ServerExchangeStats& sent : board.stats) {
        check(sent.exchange < kExchangeCount);
    }

    PriceBoard mapped;
    mapped.config = config;
    mapped.cells = markedCells();
    mapped.stats.exchanges[0].maxLatencyMs = 99.0;
    const CellGrid before = mapped.cells;
    applyServerBoard(board, config, mapped.cells, mapped.stats, mapped.krw, localNowMs);

    check(mapped.stats.lastTickMs == localNowMs);
    check(mapped.stats.exchanges[0].maxLatencyMs == 99.0);
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        for (std::uint32_t c = 0; c < kCoinCount; ++c) {
            const PriceCell& cell = mapped.cells[e][c];
            const SentForCell found = sentForCell(board, e, c);
            const ServerCell* sent = found.last;
            if (sent == nullptr || !config.exchanges[e] || !config.coins[c]) {
                check(sameCell(cell, before[e][c]));
                continue;
            }
            if (sent->hasData && sent->unusablePrice) {
                // No price is taken from it: the cell fails and keeps what it had.
                check(!cell.lastOk && cell.error == "서버 응답 형식 오류");
                continue;
            }
            check(cell.hasData == sent->hasData && cell.lastOk == sent->lastOk);
            check(cell.lastOk ? cell.error.empty() : cell.error == sent->error);
            if (sent->hasData) {
                check(std::isfinite(cell.price) && cell.price > 0.0);
            }
            if (!found.anyWithData) {
                check(cell.price == before[e][c].price);
                check(cell.updatedAtMs == before[e][c].updatedAtMs);
            } else if (sent->hasData && sent->updatedAtMs < 1) {
                check(cell.updatedAtMs == 0);
            }
        }
    }

    // What the window reads from the board must hold up against whatever the server sent.
    const IndexList exchanges = enabledExchanges(config);
    const IndexList coins = enabledCoins(config);
    for (const std::uint32_t coin : coins) {
        const CoinAggregate aggregate = aggregateCoin(mapped, coin, exchanges, localNowMs);
        check(aggregate.count >= 0 && aggregate.count <= static_cast<std::int32_t>(kExchangeCount));
        coinView(mapped, coin, exchanges, localNowMs);
    }
    boardHealth(mapped, exchanges, coins, localNowMs);
    return 0;
}
