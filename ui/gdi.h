// Scoped owners of the GDI and USER handles the window code makes, so that every path
// releases what it created, and a few drawing shorthands over the DC brush and pen.
#pragma once

#include <windows.h>

#include <string_view>
#include <utility>

#include "ui/layout.h"

namespace vindral {

inline COLORREF toColorRef(Rgb c) {
    return RGB(c.r, c.g, c.b);
}

// Owns a GDI object (font, bitmap, region, pen, brush) and deletes it.
template <typename T>
class GdiHandle {
  public:
    GdiHandle() = default;
    explicit GdiHandle(T handle) : handle_(handle) {}
    GdiHandle(GdiHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    GdiHandle& operator=(GdiHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, nullptr));
        }
        return *this;
    }
    GdiHandle(const GdiHandle&) = delete;
    GdiHandle& operator=(const GdiHandle&) = delete;
    ~GdiHandle() { reset(); }

    T get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(T handle = nullptr) {
        if (handle_ != nullptr) {
            DeleteObject(handle_);
        }
        handle_ = handle;
    }
    // Hands the object to someone who takes ownership (SetWindowRgn, for example).
    T release() { return std::exchange(handle_, nullptr); }

  private:
    T handle_ = nullptr;
};

// Selects an object into a DC for the scope and puts the previous one back.
// Selecting what the DC already holds is skipped, and so is its restore: under Wine every font
// selection into a display-compatible DC looks up the X resources again, files included.
class SelectScope {
  public:
    SelectScope(HDC dc, HGDIOBJ object)
        : dc_(dc),
          old_(GetCurrentObject(dc, GetObjectType(object)) == object ? nullptr
                                                                     : SelectObject(dc, object)) {}
    SelectScope(const SelectScope&) = delete;
    SelectScope& operator=(const SelectScope&) = delete;
    ~SelectScope() {
        if (old_ != nullptr && old_ != HGDI_ERROR) {
            SelectObject(dc_, old_);
        }
    }

  private:
    HDC dc_;
    HGDIOBJ old_;
};

class MemoryDc {
  public:
    explicit MemoryDc(HDC compatibleWith) : dc_(CreateCompatibleDC(compatibleWith)) {}
    MemoryDc(const MemoryDc&) = delete;
    MemoryDc& operator=(const MemoryDc&) = delete;
    ~MemoryDc() {
        if (dc_ != nullptr) {
            DeleteDC(dc_);
        }
    }
    HDC get() const { return dc_; }

  private:
    HDC dc_;
};

// GetDC / ReleaseDC of a window (or of the screen for a null window).
class WindowDc {
  public:
    explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc() {
        if (dc_ != nullptr) {
            ReleaseDC(hwnd_, dc_);
        }
    }
    HDC get() const { return dc_; }

  private:
    HWND hwnd_;
    HDC dc_;
};

// Fills with the DC brush in the given colour.
inline void fillRect(HDC dc, const RECT& rect, Rgb color) {
    SetDCBrushColor(dc, toColorRef(color));
    FillRect(dc, &rect, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

inline void fillRect(HDC dc, int left, int top, int right, int bottom, Rgb color) {
    const RECT r{left, top, right, bottom};
    fillRect(dc, r, color);
}

// DrawTextW of a text in a font and colour; the DC's font is restored afterwards.
inline void drawText(HDC dc, std::wstring_view text, RECT rect, HFONT font, Rgb color,
                     UINT format) {
    const SelectScope selected(dc, font);
    SetTextColor(dc, toColorRef(color));
    DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rect, format);
}

// Width of a text in a font.
inline int textWidth(HDC dc, std::wstring_view text, HFONT font) {
    const SelectScope selected(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
    return size.cx;
}

inline RECT toRect(const PixelRect& r) {
    return RECT{r.left, r.top, r.right, r.bottom};
}
inline PixelRect toPixelRect(const RECT& r) {
    return PixelRect{r.left, r.top, r.right, r.bottom};
}

}  // namespace vindral
