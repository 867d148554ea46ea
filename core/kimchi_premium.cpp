#include "core/kimchi_premium.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cwchar>
#include <vector>

#include "core/format.h"

namespace vindral {

namespace {

constexpr wchar_t kNoNumber[] = L"—";
constexpr wchar_t kReasonSeparator[] = L" · ";

constexpr wchar_t kNoKrw[] = L"업비트 시세 없음";
constexpr wchar_t kStaleKrw[] = L"업비트 오래됨";
constexpr wchar_t kNoUsdt[] = L"USDT 시세 없음";
constexpr wchar_t kStaleUsdt[] = L"USDT 시세 오래됨";
constexpr wchar_t kNoFx[] = L"환율 없음";
constexpr wchar_t kStaleFx[] = L"환율 오래됨";
constexpr wchar_t kNotComputable[] = L"김프 계산 불가";

// Won amounts from here on are shown without decimals.
constexpr double kKrwWholeFrom = 100;
// Wide enough for "%.2f" of any double.
constexpr std::size_t kAmountBufferSize = 512;
// The compact text has one decimal; below this it would show as "-0.0%".
constexpr double kCompactZeroBelowPct = 0.05;

// A bank posting older than this gets its age beside its clock time, so that Friday's rate read
// on Sunday does not pass for today's.
constexpr std::int64_t kShowPostingAgeFromMs = 60 * 60 * 1000;

// The price the window shows for a coin, with the wall time it stands for.
struct ShownUsdt {
    CoinView view;
    std::int64_t updatedAtMs = 0;
};

// The time of an average is that of its oldest fresh price: every part is at least that recent.
ShownUsdt shownUsdt(const PriceBoard& board, std::uint32_t coin, const IndexList& exchanges,
                    std::int64_t nowMs) {
    ShownUsdt shown{coinView(board, coin, exchanges, nowMs)};
    if (!shown.view.hasValue || coin >= kCoinCount) {
        return shown;
    }
    bool first = true;
    for (const std::uint32_t e : exchanges) {
        if (e >= kExchangeCount) {
            continue;
        }
        const PriceCell& cell = board.cells[e][coin];
        if (shown.view.multi && !isFresh(cell, board.config.intervalMs, nowMs)) {
            continue;
        }
        if (first || cell.updatedAtMs < shown.updatedAtMs) {
            shown.updatedAtMs = cell.updatedAtMs;
            first = false;
        }
    }
    return shown;
}

std::wstring agoText(std::int64_t nowMs, std::int64_t thenMs) {
    return formatAge(nowMs - thenMs) + L" 전";
}

std::wstring formatKrwAmount(double krw) {
    if (krw >= kKrwWholeFrom) {
        // The price rule with its separators, on the whole won: its two decimals are then zero.
        std::wstring text = formatPrice(std::round(krw));
        // Infinity, and amounts too long for the price text, come back without a point.
        if (const std::size_t point = text.find(L'.'); point != std::wstring::npos) {
            text.erase(point);
        }
        return text;
    }
    std::array<wchar_t, kAmountBufferSize> buffer{};
    const int written = std::swprintf(buffer.data(), buffer.size(), L"%.2f", krw);
    return std::wstring(buffer.data(), written > 0 ? static_cast<std::size_t>(written) : 0);
}

std::wstring twoDigits(long long value) {
    return (value < 10 ? L"0" : L"") + std::to_wstring(value);
}

// "13:29" in KST for a bank's posting; "8월 28일" for the ECB's daily rate.
std::wstring postingText(const FxQuote& quote) {
    using namespace std::chrono;
    const sys_time<milliseconds> posted{milliseconds{quote.postedAtMs}};
    if (quote.source == FxSource::Ecb) {
        const year_month_day date{floor<days>(posted)};
        return std::to_wstring(static_cast<unsigned>(date.month())) + L"월 " +
               std::to_wstring(static_cast<unsigned>(date.day())) + L"일";
    }
    const auto kst = posted + kKstOffset;
    const hh_mm_ss clock{kst - floor<days>(kst)};
    return twoDigits(clock.hours().count()) + L":" + twoDigits(clock.minutes().count());
}

std::wstring krwLine(const PriceCell& krw, std::int64_t nowMs) {
    if (krw.hasData) {
        return L"업비트 " + formatKrwAmount(krw.price) + L" · " + agoText(nowMs, krw.updatedAtMs);
    }
    return krw.error.empty() ? std::wstring(L"업비트 조회 중…") : fromUtf8(krw.error);
}

std::wstring usdtLine(const ShownUsdt& shown, const IndexList& exchanges, std::int64_t nowMs) {
    const std::wstring label =
        shown.view.multi || exchanges.empty() ? std::wstring(L"평균") : exchangeName(exchanges[0]);
    if (!shown.view.hasValue) {
        return label + (shown.view.failed ? L" 조회 실패" : L" 조회 중…");
    }
    return label + L" " + formatPrice(shown.view.price) + L" USDT · " +
           agoText(nowMs, shown.updatedAtMs);
}

std::wstring fxLine(const FxCell& fx, std::int64_t nowMs) {
    if (!fx.hasData) {
        return fx.error.empty() ? std::wstring(L"환율 조회 중…") : fromUtf8(fx.error);
    }
    std::wstring line = L"환율 " + formatPrice(fx.quote.krwPerUsd) + L" · " +
                        fromUtf8(fx.quote.provider) + L" " + postingText(fx.quote);
    if (fx.quote.source == FxSource::Bank && nowMs - fx.quote.postedAtMs >= kShowPostingAgeFromMs) {
        line += L" · " + agoText(nowMs, fx.quote.postedAtMs);
    }
    return line;
}

}  // namespace

void applyFxFetch(FxCell& cell, const std::optional<FxQuote>& quote, const std::string& error) {
    if (quote) {
        cell.hasData = true;
        cell.lastOk = true;
        cell.quote = *quote;
        cell.error.clear();
        return;
    }
    cell.lastOk = false;
    cell.error = error;
}

bool isFxFresh(const FxCell& cell, std::int64_t nowMs) {
    return cell.hasData && nowMs - cell.quote.postedAtMs <= kFxFreshWindowMs;
}

std::optional<double> premiumPct(double krwPrice, double usdtPrice, double krwPerUsd) {
    const double usdtInKrw = usdtPrice * krwPerUsd;
    if (!(krwPrice > 0) || !(usdtPrice > 0) || !(krwPerUsd > 0) || !std::isfinite(krwPrice) ||
        !std::isfinite(usdtInKrw)) {
        return std::nullopt;
    }
    return (krwPrice / usdtInKrw - 1) * 100;
}

PremiumView premiumView(const PriceBoard& board, std::uint32_t coin, const IndexList& exchanges,
                        const PriceCell& krw, const FxCell& fx, std::int64_t nowMs) {
    std::vector<const wchar_t*> reasons;
    if (!krw.hasData) {
        reasons.push_back(kNoKrw);
    } else if (!isFresh(krw, board.config.intervalMs, nowMs)) {
        reasons.push_back(kStaleKrw);
    }
    const CoinView usdt = coinView(board, coin, exchanges, nowMs);
    if (!usdt.hasValue) {
        reasons.push_back(kNoUsdt);
    } else if (usdt.stale) {
        reasons.push_back(kStaleUsdt);
    }
    if (!fx.hasData) {
        reasons.push_back(kNoFx);
    } else if (!isFxFresh(fx, nowMs)) {
        reasons.push_back(kStaleFx);
    }

    PremiumView view;
    if (reasons.empty()) {
        const std::optional<double> pct = premiumPct(krw.price, usdt.price, fx.quote.krwPerUsd);
        if (pct) {
            view.hasValue = true;
            view.pct = *pct;
            return view;
        }
        reasons.push_back(kNotComputable);
    }
    for (const wchar_t* reason : reasons) {
        if (!view.reason.empty()) {
            view.reason += kReasonSeparator;
        }
        view.reason += reason;
    }
    return view;
}

bool premiumIsDim(const PremiumView& view) {
    return !view.hasValue || std::fabs(view.pct) < kPremiumDimBelowPct;
}

std::wstring formatKrwPrice(double krw) {
    // No currency sign before a dash: the cell says there is no number, not a price of "—".
    if (!std::isfinite(krw)) {
        return std::wstring(kNoNumber);
    }
    return L"₩" + formatKrwAmount(krw);
}

std::wstring premiumText(const PremiumView& view) {
    return view.hasValue ? formatPercent(view.pct, true) : std::wstring(kNoNumber);
}

std::wstring compactPremiumText(const PremiumView& view) {
    if (!view.hasValue) {
        return std::wstring(L"김프 ") + kNoNumber;
    }
    const double shown = std::fabs(view.pct) < kCompactZeroBelowPct ? 0.0 : view.pct;
    std::array<wchar_t, kAmountBufferSize> buffer{};
    const int written = std::swprintf(buffer.data(), buffer.size(), L"김프 %+.1f%%", shown);
    return std::wstring(buffer.data(), written > 0 ? static_cast<std::size_t>(written) : 0);
}

std::wstring premiumHoverText(const PriceBoard& board, std::uint32_t coin,
                              const IndexList& exchanges, const PriceCell& krw, const FxCell& fx,
                              std::int64_t nowMs) {
    const PremiumView view = premiumView(board, coin, exchanges, krw, fx, nowMs);
    std::wstring text;
    if (!view.hasValue) {
        text = view.reason + L"\n";
    }
    text += krwLine(krw, nowMs) + L"\n";
    text += usdtLine(shownUsdt(board, coin, exchanges, nowMs), exchanges, nowMs) + L"\n";
    text += fxLine(fx, nowMs);
    return text;
}

}  // namespace vindral
