// The Korean market beside the USDT prices: the USD/KRW rate as the board keeps it, the kimchi
// premium (Upbit's KRW price against the shown USDT price in won) and its freshness rules, and
// the texts the window draws for it. Pure functions; the clock is always passed in.
//
// The premium uses exactly the price the window shows for the coin (the mean over the shown
// exchanges, or the one exchange's price) and only while it is fresh; the Upbit price follows the
// board's freshness rule at the board's interval; the rate counts as fresh for 72 hours after its
// source posted it, because banks post nothing over weekends and holidays. Whenever an input is
// missing or stale there is no number, only the reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/board.h"

namespace vindral {

// The rate is asked for this often; its sources change it every few minutes at most.
inline constexpr std::int64_t kFxFetchIntervalMs = 10 * 60 * 1000;
// A posted rate stays usable this long: a Friday evening post still holds on Monday morning.
inline constexpr std::int64_t kFxFreshWindowMs = 72 * 60 * 60 * 1000;
// Korean banks post in KST, which has no daylight saving.
inline constexpr std::chrono::hours kKstOffset{9};
// Premiums smaller than this (in percent) are drawn dim: they are noise, not a premium.
inline constexpr double kPremiumDimBelowPct = 0.005;

// Stores the outcome of one rate fetch: a quote on success, otherwise only the failure text.
void applyFxFetch(FxCell& cell, const std::optional<FxQuote>& quote, const std::string& error);

// A rate posted at most kFxFreshWindowMs ago; a posting time in the future counts as fresh.
bool isFxFresh(const FxCell& cell, std::int64_t nowMs);

// (krw / (usdt * krwPerUsd) - 1) * 100; empty unless all three are finite and positive.
std::optional<double> premiumPct(double krwPrice, double usdtPrice, double krwPerUsd);

struct PremiumView {
    bool hasValue = false;
    double pct = 0;       // the premium in percent when hasValue
    std::wstring reason;  // why there is no number: "환율 오래됨", "업비트 시세 없음", ...
};

// The premium of one coin. `krw` is Upbit's cell for the coin, `exchanges` the shown exchanges
// (ascending), as for coinView.
PremiumView premiumView(const PriceBoard& board, std::uint32_t coin, const IndexList& exchanges,
                        const PriceCell& krw, const FxCell& fx, std::int64_t nowMs);

// True for a premium drawn dim: none at all, or one below kPremiumDimBelowPct in magnitude.
bool premiumIsDim(const PremiumView& view);

// "₩108,580,000"; below ₩100 with two decimals ("₩85.40").
std::wstring formatKrwPrice(double krw);
// "+1.23%", or "—" without a number.
std::wstring premiumText(const PremiumView& view);
// "김프 +1.2%", or "김프 —": the mini mode, the initials strip and the tray tooltip.
std::wstring compactPremiumText(const PremiumView& view);

// The premium cell's hover: the three inputs with their ages, one per line, after a first line
// with the reason when there is no number:
//   업비트 108,580,000 · 3초 전
//   평균 77,412.30 USDT · 1초 전
//   환율 1,391.50 · 하나은행 13:29
std::wstring premiumHoverText(const PriceBoard& board, std::uint32_t coin,
                              const IndexList& exchanges, const PriceCell& krw, const FxCell& fx,
                              std::int64_t nowMs);

}  // namespace vindral
