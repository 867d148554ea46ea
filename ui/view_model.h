// What the main window shows and does, as pure functions of the settings and the board
// snapshot: header, footer and tray texts, the context menu's items and checks, the settings
// that each command produces, and the tracking of price flashes. The window code only turns
// these into GDI calls and menu handles.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/board.h"
#include "settings/settings.h"
#include "ui/layout.h"

namespace vindral {

// Command ids of the context menu (and of the buttons that share them).
inline constexpr int kCmdSettings = 100;
inline constexpr int kCmdRefresh = 101;
inline constexpr int kCmdToggleMini = 102;
inline constexpr int kCmdAlwaysOnTop = 103;
inline constexpr int kCmdKoreanColors = 104;
inline constexpr int kCmdCoinInitials = 105;
inline constexpr int kCmdHide = 106;
inline constexpr int kCmdShow = 107;
inline constexpr int kCmdExit = 108;
// After the later additions 120 to 123 (alerts, start with Windows, click-through, direct road).
inline constexpr int kCmdKimchiPremium = 124;
// Heading of the table column with Upbit's KRW price and the kimchi premium.
inline constexpr wchar_t kPremiumColumnTitle[] = L"업비트 · 김프";
inline constexpr int kCmdIntervalFirst = 200;
inline constexpr int kCmdOpacityFirst = 300;
inline constexpr int kCmdZoomFirst = 400;
inline constexpr int kCmdExchangeCountFirst = 500;

// The product name; its initial is the letter of the application icon.
inline constexpr wchar_t kAppTitle[] = L"Vindral";
inline constexpr wchar_t kTrayTipInitial[] = L"Vindral - 코인 시세";

// "5초 · 3곳", "5초 · 평균 3곳", "5초 · Bitget", each with " · 서버" on the server road.
std::wstring headerInfoText(Look look, std::int32_t intervalMs, const IndexList& exchanges,
                            bool hasServer);

// The icon-font code point of a header button.
wchar_t buttonGlyph(int button, bool alwaysOnTop, bool miniMode);
std::wstring buttonTooltip(int button, bool alwaysOnTop, bool miniMode);

// Orange status line of a table cell with data: its age when stale, "재시도" when the latest
// fetch failed but the price is fresh, nothing otherwise.
// Ages of 100 hours and more read "오래 전", so the text keeps within its cell.
inline constexpr std::int64_t kLongAgoMs = 100LL * 3600 * 1000;
std::wstring cellStatusText(const PriceCell& cell, std::int32_t intervalMs, std::int64_t nowMs);

struct FooterTexts {
    std::wstring left;  // coverage and backlog
    bool leftWarns = false;
    std::wstring right;  // time of the latest update
};
FooterTexts footerTexts(const PriceBoard& board, const IndexList& exchanges,
                        const IndexList& coins);

// One line per shown coin: "BTC $67,123.46 (+1.23%)", or "BTC -" without a fresh price; with
// `withPremium` followed by " · 김프 +1.2%" (or " · 김프 —").
std::wstring trayTipText(const PriceBoard& board, const IndexList& exchanges,
                         const IndexList& coins, std::int64_t nowMs, bool withPremium = false);

// The context menu as data: a separator has id 0 and no text; a submenu has children.
struct MenuItem {
    int id = 0;
    std::wstring text;
    bool checked = false;
    std::vector<MenuItem> children;
    bool enabled = true;

    bool isSeparator() const { return id == 0 && text.empty(); }
};
std::vector<MenuItem> buildContextMenu(const Settings& settings, bool windowVisible);

// The settings a command leads to, for the commands that only change a setting (always on
// top, colours, initials, the kimchi premium, interval, opacity and exchange-count presets);
// empty for the others.
std::optional<Settings> settingsForCommand(const Settings& settings, int commandId);
// Zoom of a zoom command, or empty.
std::optional<int> zoomForCommand(int commandId);

// table view -> initials strip -> table view; plain mini mode goes to the table view.
Settings toggledLook(const Settings& settings);

// The engine restarts or reconfigures only when interval, selections or server URL change.
bool engineSettingsDiffer(const Settings& a, const Settings& b);

// Price-flash state per cell (exchange * 3 + coin) and per coin average.
inline constexpr std::size_t kCellCount = kExchangeCount * kCoinCount;
struct FlashState {
    std::array<std::uint64_t, kCellCount> lastSeq{};
    std::array<int, kCellCount> cellFlashDir{};
    std::array<std::int64_t, kCellCount> cellFlashAt{};
    std::array<double, kCoinCount> lastAverage{};
    std::array<int, kCoinCount> averageFlashDir{};
    std::array<std::int64_t, kCoinCount> averageFlashAt{};
};

// Starts flashes for the shown cells whose update stamp changed with a new price (never at
// the first sight of a cell) and for averages that moved. True when a flash started.
bool trackFlashes(FlashState& state, const PriceBoard& board, const IndexList& exchanges,
                  const IndexList& coins, std::int64_t nowMs);
bool anyFlashActive(const FlashState& state, std::int64_t nowMs);

// The flash that a compact look shows for a coin: the average's with several exchanges,
// else the one cell's.
struct FlashRef {
    int direction = 0;
    std::int64_t startMs = 0;
};
FlashRef coinFlash(const FlashState& state, std::uint32_t coin, const IndexList& exchanges);

// A flash fill as it was last painted: the area it belongs to (cell, row or strip segment) and
// its colour.
struct PaintedFlash {
    PixelRect area;
    int direction = 0;
    std::int64_t startMs = 0;
    Rgb fill{};
};
// The bounding box of the painted flashes whose fill at `nowMs` is no longer the painted one
// (faded a step further, or over); empty when the screen still shows every fill as it should.
// The fade is quantised to colour values, so a frame may find nothing to repaint.
std::optional<PixelRect> changedFlashArea(const std::vector<PaintedFlash>& painted,
                                          std::int64_t nowMs, bool koreanColors);

}  // namespace vindral
