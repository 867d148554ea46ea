// The one top-level window of the program: a borderless, layered tool window painted entirely
// by us from a snapshot of the engine's board, with a tray icon, a context menu and the
// settings dialog. Everything here runs on the UI thread; the engine's threads reach the window
// only through one posted message (kMsgBoardChanged), coalesced by boardChangePending_.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/alerts.h"
#include "core/board.h"
#include "core/kimchi_premium.h"
#include "core/market_engine.h"
#include "settings/settings.h"
#include "ui/cell_texts.h"
#include "ui/gdi.h"
#include "ui/hover_tip.h"
#include "ui/layout.h"
#include "ui/view_model.h"

namespace vindral {

inline constexpr wchar_t kWindowClassName[] = L"VindralMiniTicker";
inline constexpr wchar_t kSingleInstanceMutexName[] = L"Local\\VindralMiniTicker.SingleInstance";

// The engine's board has changed (posted from engine threads, at most one queued).
inline constexpr UINT kMsgBoardChanged = WM_APP + 1;
// Tray icon mouse events; the mouse message is the low word of lParam.
inline constexpr UINT kMsgTrayCallback = WM_APP + 2;
// A second instance asks this one to show its window.
inline constexpr UINT kMsgShowWindow = WM_APP + 3;
// Test hook, inert in normal use: renders the client area through WM_PRINTCLIENT and writes it
// as a 32-bit BMP file "snapshot-<wParam>.bmp" into the folder named by the environment variable
// VINDRAL_TEST_SNAPSHOT_DIR, with the texts of the price cells beside it ("texts-<wParam>.txt",
// see test_snapshot.cpp). Returns 1 when the file was written, 0 otherwise (also when the
// variable is not set, in which case nothing at all happens). A test driver may also send
// WM_COMMAND (lParam 0) with a menu command id, which runs that command as the menu would;
// post it rather than send it for the settings command, whose dialog is modal.
inline constexpr UINT kMsgTestSnapshot = WM_APP + 10;
inline constexpr wchar_t kTestSnapshotDirVariable[] = L"VINDRAL_TEST_SNAPSHOT_DIR";
// Test hooks of the price alerts, inert unless the environment variable
// VINDRAL_TEST_NOTIFY_LOG names a file, to which every notification is then appended as UTF-8
// lines "title<TAB>text". kMsgTestAlertPrice answers the price that the alerts of coin wParam
// watch, in hundredths of a USDT (-1 without one); kMsgTestArmedAlerts the number of armed alerts.
inline constexpr UINT kMsgTestAlertPrice = WM_APP + 20;
inline constexpr UINT kMsgTestArmedAlerts = WM_APP + 21;
inline constexpr wchar_t kTestNotifyLogVariable[] = L"VINDRAL_TEST_NOTIFY_LOG";

inline constexpr UINT_PTR kTimerTick = 1;
inline constexpr UINT kTickMs = 1000;
inline constexpr UINT_PTR kTimerFlash = 2;
inline constexpr UINT kFlashFrameMs = 33;

inline constexpr UINT kTrayIconId = 1;

// The fonts of the window, in this order.
enum FontRole : int {
    kFontBrand,
    kFontHeaderInfo,
    kFontCellPrice,
    kFontCompactPrice,
    kFontSmall,
    kFontCoinLabel,
    kFontGlyph,
    kFontCount
};

// Draws the application icon: an accent disc with the product initial. Caller destroys it.
HICON makeAppIcon(int size);

// Draws a header button glyph with lines and shapes, for systems without the icon fonts.
void drawButtonGlyph(HDC dc, const RECT& button, int index, bool alwaysOnTop, bool miniMode,
                     COLORREF color, int glyphPx);

class MainWindow {
  public:
    MainWindow();
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Builds everything and shows the window; false when the class or the window could not be
    // created.
    bool create(HINSTANCE instance);
    // Stops the engine and releases fonts and icons; the window is already gone.
    void teardown();

  private:
    static LRESULT CALLBACK staticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void onBoardChanged();
    void applySettings(const Settings& next);
    void runCommand(int id);
    void onLeftButtonUp(int button);
    void onTimer(UINT_PTR id);
    LRESULT onMoving(RECT* proposed);
    void applyZOrder();
    void close();

    // Rendering (window_paint.cpp).
    void createFonts();
    void deleteFonts();
    void layoutWindow();
    void paint(HDC hdc, const RECT& area);
    bool inPaintArea(const RECT& rect) const;
    void repaintChangedFlashes(std::int64_t now);
    int hitTestButton(POINT client) const;
    Look look() const;
    void paintHeader(HDC dc, std::int64_t now);
    void paintButtons(HDC dc);
    void paintTable(HDC dc, std::int64_t now);
    void paintCell(HDC dc, const RECT& rect, std::uint32_t exchange, std::uint32_t coin,
                   std::int64_t now);
    void paintAverageCell(HDC dc, const RECT& rect, std::uint32_t coin, std::int64_t now);
    CellTextBoxes cellBoxes(const RECT& cell, int changeWidth) const;
    void paintFooter(HDC dc);
    void paintFlash(HDC dc, RECT rect, int direction, std::int64_t start, std::int64_t now);
    void paintMiniRows(HDC dc, std::int64_t now);
    void paintInitialsStrip(HDC dc, std::int64_t now);
    int measureInitialsStrip();
    Rgb statusColorAt(std::int64_t now) const;
    int s(double logical) const;

    // The kimchi premium (window_premium.cpp).
    PremiumView premiumFor(std::uint32_t coin, std::int64_t now) const;
    Rgb premiumColor(const PremiumView& view) const;
    void paintPremiumHeader(HDC dc, const RECT& rect);
    void paintPremiumCell(HDC dc, const RECT& rect, std::uint32_t coin, std::int64_t now);
    void paintCompactPremium(HDC dc, const RECT& group, const RECT& box, std::uint32_t coin,
                             std::int64_t now);
    std::wstring premiumTipText(std::uint32_t coin) const;

    // Tray, menu and behaviours (window_shell.cpp).
    void addTrayIcon();
    void updateTrayTip();
    void removeTrayIcon();
    void onTrayCallback(UINT event);
    void createTooltips();
    // Hands a mouse message of the window to the buttons' tips.
    void relayToTooltips(UINT msg, WPARAM wParam, LPARAM lParam);
    void updateToolRects();
    void onTooltipText(NMTTDISPINFOW* info);
    void showContextMenu(POINT screen);
    void applyOpacity(int opacityPct);
    void applyClickThrough();
    void setZoom(int zoomPct);
    void toggleMiniMode();
    void showFromTray();
    void hideToTray();
    void savePosition();
    void openSettings();

    // Price alerts (alerts_win.cpp).
    void loadAlerts();
    void saveAlerts() const;
    void checkAlerts(std::int64_t now);
    void notifyAlerts(const std::vector<std::wstring>& texts);
    void clearAlertMarks();
    void paintAlertMark(HDC dc, const RECT& label, std::uint32_t coin, std::int64_t now);
    void paintAlertSegment(HDC dc, const RECT& segment, std::uint32_t coin, std::int64_t now);
    void openAlerts();
    LRESULT answerAlertTest(UINT msg, WPARAM wParam) const;
    // The tooltip of the price cells (window_hover.cpp).
    void onHoverAt(POINT screen);
    void endHover();
    void showHoverTip();

    // Test hook (test_snapshot.cpp).
    bool writeTestSnapshot(unsigned number);

    // The texts of the price cells go through here, so that a test snapshot can list each one as
    // shown (cut or not) with its box, its cell and its width.
    struct DrawnText {
        std::wstring text;
        RECT cell{};
        RECT box{};
        int width = 0;
    };
    void drawCellText(HDC dc, const std::wstring& text, const RECT& cell, const RECT& box,
                      HFONT font, Rgb color, UINT format);

    HINSTANCE instance_ = nullptr;
    HWND hwnd_ = nullptr;
    HWND tooltipHwnd_ = nullptr;
    Settings settings_;
    MarketEngine engine_;
    PriceBoard board_;
    std::atomic<std::uint8_t> boardChangePending_{0};
    std::uint32_t dpi_ = kBaseDpi;
    LayoutMetrics metrics_;
    IndexList selectedExchanges_;
    IndexList selectedCoins_;
    StripMeasures strip_;
    ButtonRects buttonRects_{};
    int hoverButton_ = -1;
    int pressedButton_ = -1;
    bool trackingLeave_ = false;
    std::array<GdiHandle<HFONT>, kFontCount> fonts_;
    // No icon font is installed (Wine, older Windows): the glyphs are drawn with GDI.
    bool drawGlyphs_ = false;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    FlashState flashes_;
    bool flashTimerRunning_ = false;
    // Where each flash fill was painted and with what, so that a flash frame repaints only the
    // flashes whose colour has moved on since.
    std::vector<PaintedFlash> paintedFlashes_;
    // The part of the client area the current paint redraws; what lies outside is skipped.
    RECT paintArea_{};
    UINT taskbarCreatedMsg_ = 0;
    bool trayIconAdded_ = false;
    // A price server has sent a board at some time since the program started.
    bool serverAnsweredOnce_ = false;
    bool tornDown_ = false;
    AlertBook alertBook_;
    bool alertSound_ = false;
    // Coins whose alert fired and that the user has not yet pointed at.
    std::array<bool, kCoinCount> alertMarks_{};
    HoverTip hoverTip_;
    std::vector<DrawnText>* drawnTexts_ = nullptr;  // set only while a test snapshot renders
    bool trackingNcLeave_ = false;
};

}  // namespace vindral
