// Header button glyphs drawn with lines and shapes, for systems where neither icon font is
// installed (Wine, older Windows): asking GDI for the missing face would substitute a text
// font and show unrelated characters at the icon code points.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "ui/main_window.h"

namespace vindral {

namespace {

// The glyph's square, centred in the button, in device pixels.
struct GlyphBox {
    int left;
    int top;
    int size;

    int x(double fraction) const { return left + static_cast<int>(std::lround(fraction * size)); }
    int y(double fraction) const { return top + static_cast<int>(std::lround(fraction * size)); }
};

void line(HDC dc, int x1, int y1, int x2, int y2) {
    MoveToEx(dc, x1, y1, nullptr);
    LineTo(dc, x2, y2);
}

void drawPin(HDC dc, const GlyphBox& b, bool pinned) {
    // Head, collar and needle of an upright push pin; filled while the window is pinned.
    const SelectScope brush(dc, GetStockObject(pinned ? DC_BRUSH : NULL_BRUSH));
    Rectangle(dc, b.x(0.3), b.y(0.0), b.x(0.7) + 1, b.y(0.5) + 1);
    line(dc, b.x(0.1), b.y(0.5), b.x(0.9) + 1, b.y(0.5));
    line(dc, b.x(0.5), b.y(0.5), b.x(0.5), b.y(1.0) + 1);
}

void drawLookToggle(HDC dc, const GlyphBox& b, bool miniMode) {
    const SelectScope brush(dc, GetStockObject(NULL_BRUSH));
    if (miniMode) {
        // Four corner brackets: back to the full table.
        const double lo = 0.0;
        const double hi = 1.0;
        const double arm = 0.35;
        line(dc, b.x(lo), b.y(lo + arm), b.x(lo), b.y(lo));
        line(dc, b.x(lo), b.y(lo), b.x(lo + arm), b.y(lo));
        line(dc, b.x(hi - arm), b.y(lo), b.x(hi), b.y(lo));
        line(dc, b.x(hi), b.y(lo), b.x(hi), b.y(lo + arm));
        line(dc, b.x(hi), b.y(hi - arm), b.x(hi), b.y(hi));
        line(dc, b.x(hi), b.y(hi), b.x(hi - arm), b.y(hi));
        line(dc, b.x(lo + arm), b.y(hi), b.x(lo), b.y(hi));
        line(dc, b.x(lo), b.y(hi), b.x(lo), b.y(hi - arm));
        return;
    }
    // A large frame with a small window in its corner: to the compact look.
    Rectangle(dc, b.x(0.0), b.y(0.0), b.x(1.0) + 1, b.y(1.0) + 1);
    const SelectScope fill(dc, GetStockObject(DC_BRUSH));
    Rectangle(dc, b.x(0.0), b.y(0.55), b.x(0.45) + 1, b.y(1.0) + 1);
}

void drawGear(HDC dc, const GlyphBox& b) {
    const SelectScope brush(dc, GetStockObject(NULL_BRUSH));
    Ellipse(dc, b.x(0.2), b.y(0.2), b.x(0.8) + 1, b.y(0.8) + 1);
    Ellipse(dc, b.x(0.4), b.y(0.4), b.x(0.6) + 1, b.y(0.6) + 1);
    constexpr int kTeeth = 8;
    for (int k = 0; k < kTeeth; ++k) {
        const double angle = 2 * std::numbers::pi * k / kTeeth;
        const double dx = std::cos(angle);
        const double dy = std::sin(angle);
        line(dc, b.x(0.5 + 0.3 * dx), b.y(0.5 + 0.3 * dy), b.x(0.5 + 0.5 * dx),
             b.y(0.5 + 0.5 * dy));
    }
}

void drawMinimize(HDC dc, const GlyphBox& b) {
    line(dc, b.x(0.0), b.y(0.5), b.x(1.0) + 1, b.y(0.5));
}

void drawClose(HDC dc, const GlyphBox& b) {
    line(dc, b.x(0.0), b.y(0.0), b.x(1.0) + 1, b.y(1.0) + 1);
    line(dc, b.x(1.0), b.y(0.0), b.x(0.0) - 1, b.y(1.0) + 1);
}

}  // namespace

void drawButtonGlyph(HDC dc, const RECT& button, int index, bool alwaysOnTop, bool miniMode,
                     COLORREF color, int glyphPx) {
    const int size = std::max(glyphPx, 4);
    const GlyphBox box{(button.left + button.right - size) / 2,
                       (button.top + button.bottom - size) / 2, size};
    const GdiHandle<HPEN> pen(CreatePen(PS_SOLID, std::max(1, size / 10), color));
    if (!pen) {
        return;
    }
    const SelectScope selectedPen(dc, pen.get());
    SetDCBrushColor(dc, color);
    switch (index) {
        case kButtonPin:
            drawPin(dc, box, alwaysOnTop);
            break;
        case kButtonLook:
            drawLookToggle(dc, box, miniMode);
            break;
        case kButtonSettings:
            drawGear(dc, box);
            break;
        case kButtonHide:
            drawMinimize(dc, box);
            break;
        case kButtonClose:
            drawClose(dc, box);
            break;
        default:
            break;
    }
}

}  // namespace vindral
