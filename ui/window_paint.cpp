// The three looks of the main window, drawn with GDI into a memory bitmap from the board
// snapshot, and the geometry that each look gives the window.
#include "ui/main_window.h"

#include "core/format.h"
#include "ui/cell_texts.h"
#include "ui/menu_extras.h"

namespace vindral {

namespace {

constexpr wchar_t kUiFace[] = L"Segoe UI";
constexpr wchar_t kFluentIconsFace[] = L"Segoe Fluent Icons";
constexpr wchar_t kMdl2IconsFace[] = L"Segoe MDL2 Assets";
constexpr wchar_t kBrandText[] = L"VINDRAL";
constexpr wchar_t kEmDash[] = L"—";

constexpr UINT kSingleLine = DT_SINGLELINE | DT_NOPREFIX;
constexpr UINT kCentredLeft = kSingleLine | DT_VCENTER;
constexpr UINT kCentredRight = kSingleLine | DT_VCENTER | DT_RIGHT;
constexpr UINT kBottomRight = kSingleLine | DT_BOTTOM | DT_RIGHT;
// Texts that come from outside (prices, changes, ages, messages) are cut to their box with "…".
constexpr UINT kFit = DT_END_ELLIPSIS;

struct FontStyle {
    double size;
    int weight;
};
// Sizes in logical units, in the order of FontRole (the glyph font's face is chosen apart).
constexpr std::array<FontStyle, kFontCount> kFontStyles{{
    {11.5, 700},
    {11.5, 400},
    {15, 600},
    {14, 600},
    {11, 400},
    {13, 700},
    {10, 400},
}};

HFONT makeFont(int height, int weight, const wchar_t* face) {
    return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                       face);
}

int CALLBACK onFontFamily(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM param) {
    auto* wanted = reinterpret_cast<std::pair<const wchar_t*, bool>*>(param);
    // The enumeration may follow a substitution; only the face itself counts.
    if (lstrcmpiW(font->lfFaceName, wanted->first) == 0) {
        wanted->second = true;
        return 0;
    }
    return 1;
}

// Whether a font face is really installed. Asking GDI for a missing face silently substitutes
// another font, which would show wrong characters for the icon code points.
bool faceInstalled(const wchar_t* face) {
    const WindowDc screen(nullptr);
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(query.lfFaceName, face, LF_FACESIZE);
    std::pair<const wchar_t*, bool> wanted{face, false};
    EnumFontFamiliesExW(screen.get(), &query, &onFontFamily, reinterpret_cast<LPARAM>(&wanted), 0);
    return wanted.second;
}

void drawLine(HDC dc, int left, int top, int right, int bottom, Rgb color) {
    fillRect(dc, left, top, right, bottom, color);
}

// A filled ellipse in the DC brush colour without an outline.
void fillDot(HDC dc, int left, int top, int right, int bottom, Rgb color) {
    const SelectScope pen(dc, GetStockObject(NULL_PEN));
    const SelectScope brush(dc, GetStockObject(DC_BRUSH));
    SetDCBrushColor(dc, toColorRef(color));
    Ellipse(dc, left, top, right, bottom);
}

}  // namespace

int MainWindow::s(double logical) const {
    return scaled(dpi_, settings_.zoomPct, logical);
}

Look MainWindow::look() const {
    return lookFor(settings_.miniMode, settings_.coinInitials);
}

void MainWindow::deleteFonts() {
    for (auto& font : fonts_) {
        font.reset();
    }
}

void MainWindow::createFonts() {
    deleteFonts();
    for (int i = 0; i < kFontGlyph; ++i) {
        fonts_[i].reset(makeFont(s(kFontStyles[i].size), kFontStyles[i].weight, kUiFace));
    }
    const FontStyle glyph = kFontStyles[kFontGlyph];
    const wchar_t* face = faceInstalled(kFluentIconsFace) ? kFluentIconsFace
                          : faceInstalled(kMdl2IconsFace) ? kMdl2IconsFace
                                                          : nullptr;
    drawGlyphs_ = face == nullptr;
    if (face != nullptr) {
        fonts_[kFontGlyph].reset(makeFont(s(glyph.size), glyph.weight, face));
    }
}

Rgb MainWindow::statusColorAt(std::int64_t now) const {
    return statusColor(boardHealth(board_, selectedExchanges_, selectedCoins_, now));
}

int MainWindow::hitTestButton(POINT client) const {
    return vindral::hitTestButton(buttonRects_, client.x, client.y);
}

void MainWindow::layoutWindow() {
    selectedExchanges_ = enabledExchanges(settings_);
    selectedCoins_ = enabledCoins(settings_);
    const Look current = look();
    const int stripWidth = current == Look::Strip ? measureInitialsStrip() : 0;
    metrics_ =
        computeLayout(current, dpi_, settings_.zoomPct, static_cast<int>(selectedExchanges_.size()),
                      static_cast<int>(selectedCoins_.size()), stripWidth, settings_.kimchiPremium);
    const int width = metrics_.windowWidth;
    const int height = metrics_.windowHeight;

    RECT window{};
    GetWindowRect(hwnd_, &window);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    PixelPoint origin{window.left, window.top};
    if (GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &mi)) {
        // A window docked to the right or bottom edge grows and shrinks away from that edge.
        origin = dockedOrigin(toPixelRect(window), toPixelRect(mi.rcWork), width, height,
                              scaleByDpi(kEdgeMarginLogical, dpi_));
    }
    SetWindowPos(hwnd_, nullptr, origin.x, origin.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);

    GdiHandle<HRGN> region(CreateRoundRectRgn(
        0, 0, width + 1, height + 1, 2 * metrics_.cornerRadius, 2 * metrics_.cornerRadius));
    // On success the system owns the region.
    if (region && SetWindowRgn(hwnd_, region.get(), TRUE) != 0) {
        region.release();
    }

    buttonRects_ =
        headerButtonRects(current, dpi_, settings_.zoomPct, width, metrics_.headerHeight);
    updateToolRects();
    // The whole window is drawn anew in its new shape; fills of the old one are gone.
    paintedFlashes_.clear();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

int MainWindow::measureInitialsStrip() {
    const WindowDc windowDc(hwnd_);
    const HDC dc = windowDc.get();
    const std::int64_t now = wallClockMs();
    strip_.changeWidth = textWidth(dc, kStripChangeTemplate, fonts_[kFontSmall].get());
    strip_.premiumWidth = settings_.kimchiPremium
                              ? textWidth(dc, kPremiumCompactTemplate, fonts_[kFontSmall].get())
                              : 0;
    for (const std::uint32_t c : selectedCoins_) {
        if (c >= kCoinCount) {
            continue;
        }
        const CoinView d = coinView(board_, c, selectedExchanges_, now);
        strip_.labelWidth[c] = textWidth(dc, coinInitialsText(c), fonts_[kFontCoinLabel].get());
        const std::wstring price =
            d.hasValue ? formatPrice(d.price) : std::wstring{kStripNoPriceTemplate};
        strip_.priceWidth[c] =
            textWidth(dc, stripPriceTemplate(price), fonts_[kFontCompactPrice].get());
    }
    return initialsStripWidth(dpi_, settings_.zoomPct, strip_, selectedCoins_);
}

bool MainWindow::inPaintArea(const RECT& rect) const {
    RECT common{};
    return IntersectRect(&common, &rect, &paintArea_) != FALSE;
}

void MainWindow::paint(HDC hdc, const RECT& area) {
    // The window is all client area, sized by the layout (no round trip to the window server).
    const int width = metrics_.windowWidth;
    const int height = metrics_.windowHeight;
    const RECT client{0, 0, width, height};
    RECT dirty{};
    if (width <= 0 || height <= 0 || !IntersectRect(&dirty, &area, &client)) {
        return;
    }
    // A flash frame redraws only its cells; everything else stays on the screen as it is.
    paintArea_ = dirty;
    // What this paint covers records its flashes afresh.
    std::erase_if(paintedFlashes_, [this](const PaintedFlash& painted) {
        return inPaintArea(toRect(painted.area));
    });
    const int dirtyWidth = dirty.right - dirty.left;
    const int dirtyHeight = dirty.bottom - dirty.top;
    const MemoryDc memory(hdc);
    const GdiHandle<HBITMAP> bitmap(CreateCompatibleBitmap(hdc, dirtyWidth, dirtyHeight));
    if (memory.get() == nullptr || !bitmap) {
        return;
    }
    const HDC dc = memory.get();
    const SelectScope selectedBitmap(dc, bitmap.get());
    // The bitmap holds only the dirty part; drawing keeps to client coordinates.
    SetWindowOrgEx(dc, dirty.left, dirty.top, nullptr);
    const SelectScope selectedFont(dc, fonts_[kFontSmall].get());
    SetBkMode(dc, TRANSPARENT);
    fillRect(dc, dirty, palette::kBackground);

    const std::int64_t now = wallClockMs();
    switch (look()) {
        case Look::Strip:
            paintInitialsStrip(dc, now);
            break;
        case Look::Mini:
            paintHeader(dc, now);
            paintMiniRows(dc, now);
            break;
        case Look::Table:
            paintHeader(dc, now);
            paintTable(dc, now);
            paintFooter(dc);
            break;
    }

    {
        const SelectScope brush(dc, GetStockObject(NULL_BRUSH));
        const SelectScope pen(dc, GetStockObject(DC_PEN));
        SetDCPenColor(dc, toColorRef(palette::kBorder));
        RoundRect(dc, 0, 0, width, height, 2 * metrics_.cornerRadius, 2 * metrics_.cornerRadius);
    }
    BitBlt(hdc, dirty.left, dirty.top, dirtyWidth, dirtyHeight, dc, dirty.left, dirty.top, SRCCOPY);
}

void MainWindow::paintFlash(HDC dc, RECT rect, int direction, std::int64_t start,
                            std::int64_t now) {
    const std::optional<Rgb> fill = flashFill(direction, start, now, settings_.koreanColors);
    if (!fill) {
        return;
    }
    paintedFlashes_.push_back({toPixelRect(rect), direction, start, *fill});
    InflateRect(&rect, -s(2), -s(2));
    fillRect(dc, rect, *fill);
}

void MainWindow::paintHeader(HDC dc, std::int64_t now) {
    const int width = metrics_.windowWidth;
    const int h = metrics_.headerHeight;
    if (!inPaintArea(RECT{0, 0, width, h})) {
        return;
    }
    const int pad = metrics_.pad;
    fillRect(dc, 0, 0, width, h, palette::kHeaderBand);
    drawLine(dc, 0, h - 1, width, h, palette::kSeparator);

    const int d = s(7);
    fillDot(dc, pad, h / 2 - d / 2, pad + 1 + d, h / 2 - d / 2 + d + 1, statusColorAt(now));
    int x = pad + s(6) + d;

    const Look current = look();
    if (current == Look::Table) {
        drawText(dc, kBrandText, RECT{x, 0, x + s(80), h}, fonts_[kFontBrand].get(),
                 palette::kAccent, kCentredLeft);
        x += textWidth(dc, kBrandText, fonts_[kFontBrand].get()) + s(6);
    }
    const std::wstring info = headerInfoText(current, settings_.intervalMs, selectedExchanges_,
                                             !settings_.serverUrl.empty());
    drawText(dc, info, RECT{x, 0, buttonRects_[kButtonPin].left - s(2), h},
             fonts_[kFontHeaderInfo].get(), palette::kDimText, kCentredLeft | DT_END_ELLIPSIS);
    paintButtons(dc);
}

void MainWindow::paintButtons(HDC dc) {
    for (int i = 0; i < kButtonCount; ++i) {
        const RECT rect = toRect(buttonRects_[i]);
        Rgb color = palette::kDimText;
        if (i == hoverButton_) {
            fillRect(dc, rect, i == kButtonClose ? palette::kCloseHover : palette::kButtonHover);
            color = palette::kMainText;
        } else if (i == kButtonPin && settings_.alwaysOnTop) {
            color = palette::kAccent;
        }
        if (drawGlyphs_) {
            drawButtonGlyph(dc, rect, i, settings_.alwaysOnTop, settings_.miniMode,
                            toColorRef(color), s(10));
        } else {
            const wchar_t glyph[] = {buttonGlyph(i, settings_.alwaysOnTop, settings_.miniMode),
                                     L'\0'};
            drawText(dc, glyph, rect, fonts_[kFontGlyph].get(), color,
                     kSingleLine | DT_VCENTER | DT_CENTER);
        }
    }
}

void MainWindow::paintTable(HDC dc, std::int64_t now) {
    const int width = metrics_.windowWidth;
    const int pad = metrics_.pad;
    const int labelW = metrics_.labelWidth;
    const int colW = metrics_.columnWidth;
    const int ch = metrics_.columnHeaderHeight;
    const int rowH = metrics_.rowHeight;
    const int h = metrics_.headerHeight;
    const HFONT small = fonts_[kFontSmall].get();
    const bool average = selectedExchanges_.size() >= 2;

    // The premium's column comes last, after the average or the one exchange.
    const int premiumLeft =
        pad + labelW + tableColumnCount(static_cast<int>(selectedExchanges_.size())) * colW;
    if (inPaintArea(RECT{0, h, width, h + ch})) {
        drawText(dc, L"코인", RECT{pad, h, pad + labelW, h + ch}, small, palette::kDimText,
                 kCentredLeft);
        int x = pad + labelW;
        for (const std::uint32_t e : selectedExchanges_) {
            drawText(dc, exchangeName(e), RECT{x, h, x + colW - s(8), h + ch}, small,
                     palette::kDimText, kCentredRight);
            x += colW;
        }
        if (average) {
            drawText(dc, L"평균", RECT{x, h, x + colW - s(8), h + ch}, small, palette::kAccent,
                     kCentredRight);
        }
        if (metrics_.kimchiPremium) {
            paintPremiumHeader(dc, RECT{premiumLeft, h, premiumLeft + colW - s(8), h + ch});
        }
        drawLine(dc, pad, h + ch - 1, width - pad, h + ch, palette::kSeparator);
    }

    for (std::size_t r = 0; r < selectedCoins_.size(); ++r) {
        const std::uint32_t c = selectedCoins_[r];
        const int y = h + ch + static_cast<int>(r) * rowH;
        if (inPaintArea(RECT{pad, y, pad + labelW, y + rowH})) {
            drawText(dc, coinSymbol(c), RECT{pad, y, pad + labelW, y + rowH},
                     fonts_[kFontCoinLabel].get(), palette::kMainText, kCentredLeft);
            paintAlertMark(dc, RECT{pad, y, pad + labelW - s(4), y + rowH}, c, now);
        }
        int cx = pad + labelW;
        for (const std::uint32_t e : selectedExchanges_) {
            const RECT cell{cx, y, cx + colW, y + rowH};
            if (inPaintArea(cell)) {
                paintCell(dc, cell, e, c, now);
            }
            cx += colW;
        }
        if (average && inPaintArea(RECT{cx, y, cx + colW, y + rowH})) {
            paintAverageCell(dc, RECT{cx, y, cx + colW, y + rowH}, c, now);
        }
        const RECT premiumCell{premiumLeft, y, premiumLeft + colW, y + rowH};
        if (metrics_.kimchiPremium && inPaintArea(premiumCell)) {
            paintPremiumCell(dc, premiumCell, c, now);
        }
        if (r + 1 < selectedCoins_.size()) {
            drawLine(dc, pad, y + rowH - 1, width - pad, y + rowH, palette::kSeparator);
        }
    }
}

void MainWindow::paintCell(HDC dc, const RECT& rect, std::uint32_t exchange, std::uint32_t coin,
                           std::int64_t now) {
    if (exchange >= kExchangeCount || coin >= kCoinCount) {
        return;
    }
    const std::size_t i = static_cast<std::size_t>(exchange) * kCoinCount + coin;
    paintFlash(dc, rect, flashes_.cellFlashDir[i], flashes_.cellFlashAt[i], now);

    const HFONT small = fonts_[kFontSmall].get();
    const PriceCell& cell = board_.cells[exchange][coin];

    if (cell.hasData) {
        const bool fresh = isFresh(cell, board_.config.intervalMs, now);
        const std::optional<double> change = change24hPct(cell.price, cell.open24h);
        const std::wstring changeText = change ? formatPercent(*change, true) : std::wstring();
        const CellTextBoxes boxes = cellBoxes(rect, textWidth(dc, changeText, small));
        drawCellText(dc, formatPrice(cell.price), rect, toRect(boxes.price),
                     fonts_[kFontCellPrice].get(), fresh ? palette::kMainText : palette::kDimText,
                     kBottomRight | kFit);
        if (change) {
            drawCellText(dc, changeText, rect, toRect(boxes.change), small,
                         changeColor(*change, settings_.koreanColors),
                         kSingleLine | DT_RIGHT | kFit);
        }
        const std::wstring status = cellStatusText(cell, board_.config.intervalMs, now);
        if (!status.empty()) {
            drawCellText(dc, status, rect, toRect(boxes.status), small, palette::kWarning,
                         kSingleLine | kFit);
        }
    } else if (!cell.error.empty()) {
        const CellTextBoxes boxes = cellBoxes(rect, 0);
        drawCellText(dc, L"조회 실패", rect, toRect(boxes.price), small, palette::kRed,
                     kBottomRight);
        drawCellText(dc, fromUtf8(cell.error), rect, toRect(boxes.status), small, palette::kDimText,
                     kSingleLine | DT_RIGHT | kFit);
    } else {
        drawCellText(dc, L"조회 중…", rect, toRect(cellBoxes(rect, 0).price), small,
                     palette::kDimText, kBottomRight);
    }
}

void MainWindow::paintAverageCell(HDC dc, const RECT& rect, std::uint32_t coin, std::int64_t now) {
    if (coin >= kCoinCount) {
        return;
    }
    paintFlash(dc, rect, flashes_.averageFlashDir[coin], flashes_.averageFlashAt[coin], now);
    const HFONT small = fonts_[kFontSmall].get();
    const CoinAggregate a = aggregateCoin(board_, coin, selectedExchanges_, now);
    if (a.count < 1) {
        drawCellText(dc, kEmDash, rect, toRect(cellBoxes(rect, 0).price), small, palette::kDimText,
                     kBottomRight);
        return;
    }
    const std::optional<double> change = change24hPct(a.meanPrice, a.meanOpen24h);
    const std::wstring changeText = change ? formatPercent(*change, true) : std::wstring();
    const CellTextBoxes boxes = cellBoxes(rect, textWidth(dc, changeText, small));
    drawCellText(dc, formatPrice(a.meanPrice), rect, toRect(boxes.price),
                 fonts_[kFontCellPrice].get(), palette::kAccent, kBottomRight | kFit);
    if (change) {
        drawCellText(dc, changeText, rect, toRect(boxes.change), small,
                     changeColor(*change, settings_.koreanColors), kSingleLine | DT_RIGHT | kFit);
    }
    if (a.count >= 2) {
        drawCellText(dc, L"차 " + formatPercent(a.spreadPct, false), rect, toRect(boxes.status),
                     small, palette::kDimText, kSingleLine | kFit);
    }
}

void MainWindow::drawCellText(HDC dc, const std::wstring& text, const RECT& cell, const RECT& box,
                              HFONT font, Rgb color, UINT format) {
    drawText(dc, text, box, font, color, format);
    if (drawnTexts_ == nullptr) {
        return;
    }
    // The text as shown: an ellipsis replaces what did not fit (up to four more characters).
    std::wstring shown = text + std::wstring(4, L'\0');
    RECT measured = box;
    {
        const SelectScope selected(dc, font);
        DrawTextW(dc, shown.data(), static_cast<int>(text.size()), &measured,
                  format | DT_CALCRECT | DT_MODIFYSTRING);
    }
    shown.resize(shown.find(L'\0') == std::wstring::npos ? shown.size() : shown.find(L'\0'));
    drawnTexts_->push_back({shown, cell, box, textWidth(dc, shown, font)});
}

CellTextBoxes MainWindow::cellBoxes(const RECT& cell, int changeWidth) const {
    return tableCellBoxes(toPixelRect(cell), metrics_.rowHeight, dpi_, settings_.zoomPct,
                          changeWidth);
}

void MainWindow::paintFooter(HDC dc) {
    const int width = metrics_.windowWidth;
    const int height = metrics_.windowHeight;
    const int pad = metrics_.pad;
    const int y = height - metrics_.footerHeight - s(2);
    if (!inPaintArea(RECT{0, y, width, height})) {
        return;
    }
    drawLine(dc, pad, y, width - pad, y + 1, palette::kSeparator);

    FooterTexts texts = footerTexts(board_, selectedExchanges_, selectedCoins_);
    if (showsServerHint(settings_, serverAnsweredOnce_)) {
        texts.left = kServerHintText;
        texts.leftWarns = true;
    }
    const HFONT small = fonts_[kFontSmall].get();
    const int rightWidth = textWidth(dc, texts.right, small);
    drawText(dc, texts.right, RECT{pad, y, width - pad, height - s(2)}, small, palette::kDimText,
             kCentredRight);
    drawText(dc, texts.left, RECT{pad, y, width - pad - rightWidth - s(8), height - s(2)}, small,
             texts.leftWarns ? palette::kWarning : palette::kDimText,
             kCentredLeft | DT_END_ELLIPSIS);
}

void MainWindow::paintMiniRows(HDC dc, std::int64_t now) {
    const int width = metrics_.windowWidth;
    const int pad = metrics_.pad;
    const int rowH = metrics_.rowHeight;
    const int labelW = s(42);
    const int priceW = s(112);
    const int changeRight = width - pad - metrics_.miniPremiumWidth;
    int y = metrics_.headerHeight + s(3);
    for (const std::uint32_t c : selectedCoins_) {
        if (!inPaintArea(RECT{pad / 2, y, width - pad / 2, y + rowH})) {
            y += rowH;
            continue;
        }
        const FlashRef flash = coinFlash(flashes_, c, selectedExchanges_);
        paintFlash(dc, RECT{pad / 2, y, width - pad / 2, y + rowH}, flash.direction, flash.startMs,
                   now);
        drawText(dc, coinSymbol(c), RECT{pad, y, pad + labelW, y + rowH},
                 fonts_[kFontCoinLabel].get(), palette::kMainText, kCentredLeft);
        paintAlertMark(dc, RECT{pad, y, pad + labelW - s(4), y + rowH}, c, now);

        const CoinView d = coinView(board_, c, selectedExchanges_, now);
        const RECT row{pad, y, width - pad, y + rowH};
        const RECT priceBox{pad + labelW, y, pad + labelW + priceW, y + rowH};
        if (d.hasValue) {
            const Rgb color = d.stale   ? palette::kDimText
                              : d.multi ? palette::kAccent
                                        : palette::kMainText;
            drawCellText(dc, formatPrice(d.price), row, priceBox, fonts_[kFontCompactPrice].get(),
                         color, kCentredRight | kFit);
            if (const std::optional<double> change = change24hPct(d.price, d.open24h)) {
                drawCellText(dc, formatPercent(*change, true), row,
                             RECT{pad + labelW + priceW, y, changeRight, y + rowH},
                             fonts_[kFontSmall].get(), changeColor(*change, settings_.koreanColors),
                             kCentredRight | kFit);
            }
        } else {
            drawText(dc, d.failed ? L"조회 실패" : L"조회 중…", priceBox, fonts_[kFontSmall].get(),
                     d.failed ? palette::kRed : palette::kDimText, kCentredRight);
        }
        if (metrics_.miniPremiumWidth > 0) {
            paintCompactPremium(dc, row, RECT{changeRight, y, width - pad, y + rowH}, c, now);
        }
        y += rowH;
    }
}

void MainWindow::paintInitialsStrip(HDC dc, std::int64_t now) {
    const int h = metrics_.windowHeight;
    const int d = s(6);
    fillDot(dc, s(6), h / 2 - d / 2, s(6) + d + 1, h / 2 - d / 2 + d + 1, statusColorAt(now));
    int x = s(6) + s(5) + d;
    const int cw = strip_.changeWidth;
    // The premium after the change, with its gap; nothing while it is not shown.
    const int premiumW = strip_.premiumWidth > 0 ? s(4) + strip_.premiumWidth : 0;
    for (const std::uint32_t c : selectedCoins_) {
        if (c >= kCoinCount) {
            continue;
        }
        const int lw = strip_.labelWidth[c];
        const int pw = strip_.priceWidth[c];
        const int groupRight = x + lw + pw + cw + s(4) + s(4) + premiumW;
        if (!inPaintArea(RECT{x - s(3), 0, groupRight + s(3), h})) {
            x = groupRight + s(10);
            continue;
        }
        const FlashRef flash = coinFlash(flashes_, c, selectedExchanges_);
        paintFlash(dc, RECT{x - s(3), 0, groupRight + s(3), h}, flash.direction, flash.startMs,
                   now);
        paintAlertSegment(dc, RECT{x - s(3), s(2), groupRight + s(3), h - s(2)}, c, now);
        drawText(dc, coinInitialsText(c), RECT{x, 0, x + lw, h}, fonts_[kFontCoinLabel].get(),
                 palette::kMainText, kCentredLeft);

        const CoinView v = coinView(board_, c, selectedExchanges_, now);
        const RECT priceBox{x + lw + s(4), 0, x + lw + s(4) + pw, h};
        const RECT group{x, 0, groupRight, h};
        if (v.hasValue) {
            const Rgb color = v.stale   ? palette::kDimText
                              : v.multi ? palette::kAccent
                                        : palette::kMainText;
            drawCellText(dc, formatPrice(v.price), group, priceBox, fonts_[kFontCompactPrice].get(),
                         color, kCentredRight | kFit);
        } else {
            drawText(dc, kEmDash, priceBox, fonts_[kFontSmall].get(),
                     v.failed ? palette::kRed : palette::kDimText, kCentredRight);
        }
        const RECT changeBox{priceBox.right + s(4), 0, priceBox.right + s(4) + cw, h};
        const std::optional<double> change =
            v.hasValue ? change24hPct(v.price, v.open24h) : std::nullopt;
        if (change) {
            drawCellText(dc, formatPercent(*change, true), group, changeBox,
                         fonts_[kFontSmall].get(), changeColor(*change, settings_.koreanColors),
                         kCentredRight | kFit);
        }
        if (premiumW > 0) {
            paintCompactPremium(dc, group, RECT{groupRight - strip_.premiumWidth, 0, groupRight, h},
                                c, now);
        }
        x = groupRight + s(10);
    }
}

}  // namespace vindral
