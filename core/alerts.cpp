#include "core/alerts.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cwctype>
#include <utility>

#include "core/format.h"

namespace vindral {
namespace {

constexpr std::int64_t kMsPerMinute = 60000;
constexpr std::int64_t kHistoryKeepMs = kMaxMoveWindowMin * kMsPerMinute;

constexpr wchar_t kKindAbove[] = L"above";
constexpr wchar_t kKindBelow[] = L"below";
constexpr wchar_t kKindMove[] = L"move";
constexpr wchar_t kModeOnce[] = L"once";
constexpr wchar_t kModeRepeat[] = L"repeat";

std::vector<std::wstring_view> splitWords(std::wstring_view text) {
    std::vector<std::wstring_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::iswspace(text[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && !std::iswspace(text[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

// Only plain ASCII digits, signs, points and exponents reach from_chars.
std::optional<std::string> asciiNumber(std::wstring_view text) {
    std::string ascii;
    for (wchar_t ch : text) {
        if (ch > 0x7F) {
            return std::nullopt;
        }
        ascii += static_cast<char>(ch);
    }
    return ascii;
}

std::optional<double> parseDouble(std::wstring_view text) {
    const auto ascii = asciiNumber(text);
    if (!ascii || ascii->empty()) {
        return std::nullopt;
    }
    double value = 0;
    const char* end = ascii->data() + ascii->size();
    const auto [ptr, ec] = std::from_chars(ascii->data(), end, value);
    if (ec != std::errc{} || ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

template <typename Int>
std::optional<Int> parseInteger(std::wstring_view text) {
    const auto ascii = asciiNumber(text);
    if (!ascii || ascii->empty()) {
        return std::nullopt;
    }
    Int value = 0;
    const char* end = ascii->data() + ascii->size();
    const auto [ptr, ec] = std::from_chars(ascii->data(), end, value);
    if (ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> coinBySymbol(std::wstring_view symbol) {
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if (coinSymbol(c) == symbol) {
            return c;
        }
    }
    return std::nullopt;
}

// Shortest text that reads back as the same double, without an exponent where one fits.
std::wstring numberText(double value) {
    std::array<char, 64> buffer{};
    char* const last = buffer.data() + buffer.size();
    std::to_chars_result result =
        std::to_chars(buffer.data(), last, value, std::chars_format::fixed);
    if (result.ec != std::errc{}) {
        result = std::to_chars(buffer.data(), last, value);
    }
    return result.ec == std::errc{} ? std::wstring(buffer.data(), result.ptr) : std::wstring(L"0");
}

bool validValue(AlertKind kind, double value) {
    if (kind == AlertKind::Move) {
        return value >= kMinMovePct && value <= kMaxMovePct;
    }
    return value > 0;
}

bool validWindow(std::int32_t minutes) {
    return minutes >= kMinMoveWindowMin && minutes <= kMaxMoveWindowMin;
}

bool sameDefinition(const Alert& a, const Alert& b) {
    return a.coin == b.coin && a.kind == b.kind && a.value == b.value &&
           a.windowMin == b.windowMin && a.repeat == b.repeat;
}

std::int64_t windowMs(const Alert& alert) {
    return std::int64_t{alert.windowMin} * kMsPerMinute;
}

// The signed move of `price` against the lowest and highest prices of the span, the larger one
// first; 0 when neither reaches the alert's percentage.
double moveWithin(const PriceHistory& history, const Alert& alert, double price,
                  std::int64_t nowMs) {
    const std::int64_t since = nowMs - windowMs(alert);
    double low = price;
    double high = price;
    for (const PriceSample& s : history) {
        if (s.atMs >= since) {
            low = std::min(low, s.low);
            high = std::max(high, s.high);
        }
    }
    const double up = (price / low - 1) * 100;
    const double down = (price / high - 1) * 100;
    const double larger = up >= -down ? up : down;
    return std::abs(larger) >= alert.value ? larger : 0;
}

// One evaluation of a level alert against a fresh price; true when it fires.
bool stepLevel(Alert& alert, double price) {
    const bool above = alert.kind == AlertKind::Above;
    const bool beyond = above ? price >= alert.value : price <= alert.value;
    switch (alert.state) {
        case AlertState::Waiting:
            // A price already beyond the level is no crossing: wait for it to come back.
            alert.state = beyond ? AlertState::Fired : AlertState::Armed;
            return false;
        case AlertState::Armed:
            if (beyond) {
                alert.state = AlertState::Fired;
                return true;
            }
            return false;
        case AlertState::Fired: {
            const double rearmAt =
                alert.value * (above ? 1 - kLevelHysteresis : 1 + kLevelHysteresis);
            if (above ? price <= rearmAt : price >= rearmAt) {
                alert.state = AlertState::Armed;
            }
            return false;
        }
    }
    return false;
}

bool coolingDown(const Alert& alert, std::int64_t nowMs) {
    // A clock that went back before the firing does not hold the alert off for ever.
    return alert.lastFiredMs != 0 && nowMs >= alert.lastFiredMs &&
           nowMs - alert.lastFiredMs < windowMs(alert);
}

std::wstring signedPercent(double pct) {
    std::wstring text = formatPercent(pct, true);
    if (!text.empty() && text[0] == L'-') {
        text[0] = L'\u2212';
    }
    return text;
}

}  // namespace

std::optional<Alert> parseAlert(std::wstring_view line) {
    const std::vector<std::wstring_view> words = splitWords(line);
    if (words.size() < 4) {
        return std::nullopt;
    }
    Alert alert;
    const auto coin = coinBySymbol(words[0]);
    if (!coin) {
        return std::nullopt;
    }
    alert.coin = *coin;
    if (words[1] == kKindAbove) {
        alert.kind = AlertKind::Above;
    } else if (words[1] == kKindBelow) {
        alert.kind = AlertKind::Below;
    } else if (words[1] == kKindMove) {
        alert.kind = AlertKind::Move;
    } else {
        return std::nullopt;
    }
    const auto value = parseDouble(words[2]);
    if (!value || !validValue(alert.kind, *value)) {
        return std::nullopt;
    }
    alert.value = *value;
    std::size_t next = 3;
    if (alert.kind == AlertKind::Move) {
        const auto minutes = parseInteger<std::int32_t>(words[next]);
        if (!minutes || !validWindow(*minutes)) {
            return std::nullopt;
        }
        alert.windowMin = *minutes;
        ++next;
    }
    // Mode, then an optional time of the last firing, then nothing.
    if (next >= words.size() || words.size() > next + 2) {
        return std::nullopt;
    }
    if (words[next] == kModeRepeat) {
        alert.repeat = true;
    } else if (words[next] != kModeOnce) {
        return std::nullopt;
    }
    if (next + 1 < words.size()) {
        const auto fired = parseInteger<std::int64_t>(words[next + 1]);
        if (!fired || *fired < 0) {
            return std::nullopt;
        }
        alert.lastFiredMs = *fired;
    }
    return alert;
}

std::wstring formatAlert(const Alert& alert) {
    std::wstring text = coinSymbol(alert.coin) + L' ';
    switch (alert.kind) {
        case AlertKind::Above:
            text += kKindAbove;
            break;
        case AlertKind::Below:
            text += kKindBelow;
            break;
        case AlertKind::Move:
            text += kKindMove;
            break;
    }
    text += L' ' + numberText(alert.value);
    if (alert.kind == AlertKind::Move) {
        text += L' ' + std::to_wstring(alert.windowMin);
    }
    text += L' ';
    text += alert.repeat ? kModeRepeat : kModeOnce;
    text += L' ' + std::to_wstring(alert.lastFiredMs);
    return text;
}

std::optional<AlertQuote> alertQuote(const PriceBoard& board, std::uint32_t coin,
                                     const IndexList& exchanges, std::int64_t nowMs) {
    if (coin >= kCoinCount) {
        return std::nullopt;
    }
    AlertQuote quote;
    double sum = 0;
    for (std::uint32_t e : exchanges) {
        if (e >= kExchangeCount) {
            continue;
        }
        const PriceCell& cell = board.cells[e][coin];
        if (cell.lastOk && isFresh(cell, board.config.intervalMs, nowMs) && cell.price > 0) {
            sum += cell.price;
            ++quote.count;
        }
    }
    if (quote.count == 0) {
        return std::nullopt;
    }
    quote.price = sum / quote.count;
    return quote;
}

void recordSample(PriceHistory& history, std::int64_t nowMs, double price) {
    if (!history.empty() && nowMs < history.back().atMs) {
        history.clear();
    }
    if (!history.empty() && nowMs - history.back().atMs < kSampleBucketMs) {
        PriceSample& last = history.back();
        last.low = std::min(last.low, price);
        last.high = std::max(last.high, price);
    } else {
        history.push_back(PriceSample{nowMs, price, price});
    }
    while (nowMs - history.front().atMs > kHistoryKeepMs) {
        history.pop_front();
    }
}

std::vector<AlertFiring> evaluateAlerts(AlertBook& book, const PriceBoard& board,
                                        const IndexList& exchanges, std::int64_t nowMs) {
    std::array<std::optional<AlertQuote>, kCoinCount> quotes;
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        quotes[c] = alertQuote(board, c, exchanges, nowMs);
        // After the clock went back, no sample can be placed in time any more.
        if (!book.history[c].empty() && nowMs < book.history[c].back().atMs) {
            book.history[c].clear();
        }
    }

    std::vector<AlertFiring> fired;
    std::vector<bool> spent(book.alerts.size(), false);
    for (std::size_t i = 0; i < book.alerts.size(); ++i) {
        Alert& alert = book.alerts[i];
        if (alert.coin >= kCoinCount || !quotes[alert.coin]) {
            continue;
        }
        const AlertQuote& quote = *quotes[alert.coin];
        if (alert.kind != AlertKind::Move) {
            if (stepLevel(alert, quote.price)) {
                alert.lastFiredMs = nowMs;
                fired.push_back(AlertFiring{alert, quote.price, 0, quote.count});
                spent[i] = !alert.repeat;
            }
            continue;
        }
        if (coolingDown(alert, nowMs)) {
            alert.state = AlertState::Fired;
            continue;
        }
        alert.state = AlertState::Armed;
        // Measured against the history before this price joins it.
        const double move = moveWithin(book.history[alert.coin], alert, quote.price, nowMs);
        if (move != 0) {
            alert.state = AlertState::Fired;
            alert.lastFiredMs = nowMs;
            fired.push_back(AlertFiring{alert, quote.price, move, quote.count});
            spent[i] = !alert.repeat;
        }
    }
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if (quotes[c]) {
            recordSample(book.history[c], nowMs, quotes[c]->price);
        }
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < book.alerts.size(); ++i) {
        if (!spent[i]) {
            book.alerts[kept++] = std::move(book.alerts[i]);
        }
    }
    book.alerts.resize(kept);
    return fired;
}

void replaceAlerts(AlertBook& book, std::vector<Alert> alerts) {
    for (Alert& next : alerts) {
        const auto old = std::find_if(book.alerts.begin(), book.alerts.end(),
                                      [&](const Alert& a) { return sameDefinition(a, next); });
        if (old != book.alerts.end()) {
            next.state = old->state;
            next.lastFiredMs = std::max(next.lastFiredMs, old->lastFiredMs);
        }
    }
    book.alerts = std::move(alerts);
}

void replaceAlertsFromDialog(AlertBook& book, const std::vector<Alert>& shown,
                             std::vector<Alert> edited) {
    for (const Alert& was : shown) {
        const auto same = [&](const Alert& a) { return sameDefinition(a, was); };
        if (was.repeat || std::any_of(book.alerts.begin(), book.alerts.end(), same)) {
            continue;
        }
        if (const auto it = std::find_if(edited.begin(), edited.end(), same); it != edited.end()) {
            edited.erase(it);
        }
    }
    replaceAlerts(book, std::move(edited));
}

std::int32_t armedAlertCount(const AlertBook& book) {
    return static_cast<std::int32_t>(
        std::count_if(book.alerts.begin(), book.alerts.end(),
                      [](const Alert& a) { return a.state == AlertState::Armed; }));
}

std::wstring alertNotificationText(const AlertFiring& firing, const IndexList& exchanges) {
    const Alert& a = firing.alert;
    std::wstring text = coinSymbol(a.coin) + L' ';
    if (a.kind == AlertKind::Move) {
        text += std::to_wstring(a.windowMin) + L"분 동안 " + signedPercent(firing.movePct) +
                (firing.movePct > 0 ? L" ▲" : L" ▼");
        return text;
    }
    text += formatPrice(a.value);
    text += a.kind == AlertKind::Above ? L" 돌파 ▲" : L" 이탈 ▼";
    if (exchanges.size() >= 2) {
        text += L" · 평균 " + std::to_wstring(firing.count) + L"곳";
    } else if (exchanges.size() == 1) {
        text += L" · " + exchangeName(exchanges[0]);
    }
    return text;
}

std::wstring alertListText(const Alert& alert) {
    std::wstring text = coinSymbol(alert.coin) + L'\t';
    switch (alert.kind) {
        case AlertKind::Above:
            text += formatPrice(alert.value) + L" 이상";
            break;
        case AlertKind::Below:
            text += formatPrice(alert.value) + L" 이하";
            break;
        case AlertKind::Move:
            text += std::to_wstring(alert.windowMin) + L"분 " + formatPercent(alert.value, false) +
                    L" 변동";
            break;
    }
    text += alert.repeat ? L"\t반복\t" : L"\t1회\t";
    text += alert.lastFiredMs > 0 ? formatClock(alert.lastFiredMs) : L"-";
    return text;
}

std::wstring alertValueText(const Alert& alert) {
    return numberText(alert.value);
}

std::optional<double> parseAlertNumber(std::wstring_view text) {
    std::wstring kept;
    for (wchar_t ch : text) {
        if (!std::iswspace(ch) && ch != L',') {
            kept += ch;
        }
    }
    return parseDouble(kept);
}

std::wstring alertFormMessage(AlertFormError error) {
    switch (error) {
        case AlertFormError::None:
            return {};
        case AlertFormError::Price:
            return L"가격은 0보다 큰 숫자로 입력하세요.";
        case AlertFormError::Percent:
            return L"변동률은 0.1 ~ 50% 사이로 입력하세요.";
        case AlertFormError::Minutes:
            return L"기간은 1 ~ 240분 사이로 입력하세요.";
        case AlertFormError::TooMany:
            return L"알림은 20개까지 만들 수 있습니다.";
    }
    return {};
}

AlertFormError collectAlertForm(const AlertFormInput& input, std::size_t listSize, Alert& alert) {
    if (listSize >= kMaxAlerts) {
        return AlertFormError::TooMany;
    }
    const auto value = parseAlertNumber(input.valueText);
    Alert next;
    next.coin = input.coin;
    next.kind = input.kind;
    next.repeat = input.repeat;
    if (input.kind == AlertKind::Move) {
        if (!value || !validValue(AlertKind::Move, *value)) {
            return AlertFormError::Percent;
        }
        const auto minutes = parseAlertNumber(input.minutesText);
        if (!minutes || *minutes != std::floor(*minutes) || *minutes < kMinMoveWindowMin ||
            *minutes > kMaxMoveWindowMin) {
            return AlertFormError::Minutes;
        }
        next.windowMin = static_cast<std::int32_t>(*minutes);
    } else if (!value || !validValue(input.kind, *value)) {
        return AlertFormError::Price;
    }
    next.value = *value;
    alert = next;
    return AlertFormError::None;
}

}  // namespace vindral
