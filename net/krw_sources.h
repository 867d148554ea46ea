// The Korean market's sources beside the exchanges': Upbit's KRW ticker for the shown coins (one
// request for all of them) and the USD/KRW rate, from the bank rate of Dunamu's quotation feed
// with the ECB's daily rate (Frankfurter) as the fallback. URLs are built on replaceable
// endpoints so that tests can point them at loopback; bodies become quotes or Korean failure
// texts. Only fetchUsdKrwRate does I/O, through the caller's HttpClient.
//
// Upbit sends prices as JSON numbers in any style (integers, long decimals, exponent form), one
// object per market in no promised order, so rows are matched by "market". One unknown market
// fails the whole request with 404 and {"error":{"name":404,"message":"Code not found"}}, where
// "name" may also be a string.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/board.h"
#include "core/kimchi_premium.h"
#include "net/http_client.h"

namespace vindral {

// Scheme, host and optional port of each source, without a trailing slash.
struct KrwEndpoints {
    std::wstring upbit;
    std::wstring dunamu;
    std::wstring frankfurter;
};

// The public hosts over https.
KrwEndpoints defaultKrwEndpoints();

// "/v1/ticker?markets=KRW-BTC,KRW-ETH" for the given coins, in the given order; coins outside the
// catalog are left out (one unknown market would fail them all). Empty when no coin remains.
std::wstring upbitTickerUrl(const IndexList& coins, const KrwEndpoints& endpoints);
std::wstring dunamuFxUrl(const KrwEndpoints& endpoints);
std::wstring frankfurterFxUrl(const KrwEndpoints& endpoints);

// One Upbit answer, per coin: the KRW last price, or the failure text for that coin's cell
// (every text starts with "업비트 "). Coins that were not asked for have neither.
struct UpbitReading {
    std::array<double, kCoinCount> priceKrw{};
    std::array<std::string, kCoinCount> error;
};

UpbitReading parseUpbitTickerBody(std::string_view body, const IndexList& coins);
// Transport failures, statuses and the error envelope become texts such as
// "업비트 HTTP 404 Code not found" for every asked coin; a 200 is read by parseUpbitTickerBody.
UpbitReading interpretUpbitResponse(const HttpResponse& response, const IndexList& coins);

// The rate readers: a quote, or false with the reason (without the "환율 조회 실패" prefix,
// which fetchUsdKrwRate adds once both sources failed).
bool parseDunamuFxBody(std::string_view body, FxQuote& quote, std::string& error);
bool interpretDunamuFxResponse(const HttpResponse& response, FxQuote& quote, std::string& error);
bool parseFrankfurterFxBody(std::string_view body, FxQuote& quote, std::string& error);
bool interpretFrankfurterFxResponse(const HttpResponse& response, FxQuote& quote,
                                    std::string& error);

struct FxFetch {
    std::optional<FxQuote> quote;
    // "환율 조회 실패 (두나무 HTTP 500 · ECB 연결 실패)" when both sources failed.
    std::string error;
};

// Asks Dunamu, and Frankfurter only when Dunamu fails or answers something unusable. Blocks for
// both requests at most.
FxFetch fetchUsdKrwRate(HttpClient& client, const KrwEndpoints& endpoints);

}  // namespace vindral
