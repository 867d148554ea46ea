// Price alerts: a price crossing a level up or down, or a move of some percent within a span of
// minutes. Pure rules with the clock and the board passed in; the window runs them on every
// board it receives. An alert only ever looks at fresh prices of successful fetches, so a stale
// or failing exchange can neither fire nor arm it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/board.h"

namespace vindral {

enum class AlertKind { Above, Below, Move };

// Above and Below wait for their first fresh price, then arm on the near side of the level;
// after firing they re-arm once the price is back across the level by the hysteresis. A move
// alert arms with its first fresh price and re-arms when its span has passed since it fired.
enum class AlertState { Waiting, Armed, Fired };

struct Alert {
    std::uint32_t coin = 0;
    AlertKind kind = AlertKind::Above;
    double value = 0;                        // the level in USDT, or the move in percent
    std::int32_t windowMin = 0;              // span of a move alert; 0 for the others
    bool repeat = false;                     // false: removed once it has fired
    std::int64_t lastFiredMs = 0;            // wall clock; 0 = never
    AlertState state = AlertState::Waiting;  // not stored
};

inline constexpr std::size_t kMaxAlerts = 20;
inline constexpr double kMinMovePct = 0.1;
inline constexpr double kMaxMovePct = 50;
inline constexpr std::int32_t kMinMoveWindowMin = 1;
inline constexpr std::int32_t kMaxMoveWindowMin = 240;
// How far, as a fraction of the level, the price must fall back before a level alert re-arms.
inline constexpr double kLevelHysteresis = 0.001;
// Samples closer together than this share one slot (its low and high), which bounds the
// history of a coin to the longest span over this bucket: 2880 slots.
inline constexpr std::int64_t kSampleBucketMs = 5000;

// The stored form of one alert, e.g. "BTC above 100000 repeat 1733700000000" or
// "ETH move 3 15 once 0"; empty on a malformed line.
std::optional<Alert> parseAlert(std::wstring_view line);
std::wstring formatAlert(const Alert& alert);

// The price an alert of this coin watches: the mean over the shown exchanges whose price is fresh
// and whose latest fetch succeeded; empty when there is none.
struct AlertQuote {
    double price = 0;
    std::int32_t count = 0;
};
std::optional<AlertQuote> alertQuote(const PriceBoard& board, std::uint32_t coin,
                                     const IndexList& exchanges, std::int64_t nowMs);

struct PriceSample {
    std::int64_t atMs = 0;  // time of the first sample in the slot
    double low = 0;
    double high = 0;
};
using PriceHistory = std::deque<PriceSample>;

// Adds a price; merges it into the last slot when that started less than a bucket ago, drops
// slots older than the longest span, and starts over when the clock went backwards.
void recordSample(PriceHistory& history, std::int64_t nowMs, double price);

struct AlertBook {
    std::vector<Alert> alerts;
    std::array<PriceHistory, kCoinCount> history;
};

struct AlertFiring {
    Alert alert;             // as it was when it fired
    double price = 0;        // the watched price at that moment
    double movePct = 0;      // move alerts: the signed move that fired it
    std::int32_t count = 0;  // exchanges averaged
};

// Samples the watched prices and fires what crossed. One-shot alerts that fired are removed.
std::vector<AlertFiring> evaluateAlerts(AlertBook& book, const PriceBoard& board,
                                        const IndexList& exchanges, std::int64_t nowMs);

// Replaces the list (from the dialog); an alert equal to an old one keeps its state.
void replaceAlerts(AlertBook& book, std::vector<Alert> alerts);

// Replaces the list with what the dialog returns, which the user edited from `shown`: a one-shot
// alert that fired while the dialog was open (in `shown`, gone from the book) stays gone.
void replaceAlertsFromDialog(AlertBook& book, const std::vector<Alert>& shown,
                             std::vector<Alert> edited);

std::int32_t armedAlertCount(const AlertBook& book);

// "BTC 100,000.00 돌파 ▲ · 평균 3곳", "BTC 90,000.00 이탈 ▼ · Bitget", "ETH 15분 동안 −3.12% ▼".
std::wstring alertNotificationText(const AlertFiring& firing, const IndexList& exchanges);

// One row of the dialog's list: coin, condition, mode and last firing, separated by tabs.
std::wstring alertListText(const Alert& alert);

// The value as the dialog's field shows it: the shortest text that reads back the same.
std::wstring alertValueText(const Alert& alert);

// A number as the user types it: blanks and thousands separators are ignored.
std::optional<double> parseAlertNumber(std::wstring_view text);

// What the dialog's fields hold when the user adds or changes an alert.
struct AlertFormInput {
    std::uint32_t coin = 0;
    AlertKind kind = AlertKind::Above;
    std::wstring valueText;
    std::wstring minutesText;
    bool repeat = false;
};
enum class AlertFormError { None, Price, Percent, Minutes, TooMany };
std::wstring alertFormMessage(AlertFormError error);
// Checks the fields; `listSize` is the number of alerts the new one would join (pass the size
// less one when changing an existing alert).
AlertFormError collectAlertForm(const AlertFormInput& input, std::size_t listSize, Alert& alert);

}  // namespace vindral
