// Test hook for end-to-end tests (kMsgTestSnapshot, WM_APP + 10): renders the client area
// in-process through WM_PRINTCLIENT, the same paint path as WM_PAINT, and writes it as an
// uncompressed 32-bit bottom-up BMP "snapshot-<wParam>.bmp" into the folder named by the
// environment variable VINDRAL_TEST_SNAPSHOT_DIR. Without that variable the message does
// nothing, so normal runs are unaffected. Screenshots taken from another process cannot see
// the pixels of a layered window under Wine, hence the in-process render. Beside it,
// "texts-<wParam>.txt" lists the texts of the price cells as they were drawn, one per line in
// UTF-8: "cell left top right bottom<TAB>box left top right bottom<TAB>width<TAB>text".
#include <string>
#include <vector>

#include "core/format.h"
#include "core/kernel_handle_win.h"
#include "ui/main_window.h"

namespace vindral {

namespace {

bool writeAll(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

std::string rectFields(const RECT& r) {
    return std::to_string(r.left) + ' ' + std::to_string(r.top) + ' ' + std::to_string(r.right) +
           ' ' + std::to_string(r.bottom);
}

}  // namespace

bool MainWindow::writeTestSnapshot(unsigned number) {
    wchar_t dir[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(kTestSnapshotDirVariable, dir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    RECT client{};
    GetClientRect(hwnd_, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width <= 0 || height <= 0) {
        return false;
    }

    const WindowDc screen(nullptr);
    const MemoryDc memory(screen.get());
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down in memory
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const GdiHandle<HBITMAP> dib(
        CreateDIBSection(screen.get(), &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (memory.get() == nullptr || !dib || bits == nullptr) {
        return false;
    }
    std::vector<DrawnText> texts;
    {
        const SelectScope selected(memory.get(), dib.get());
        drawnTexts_ = &texts;
        SendMessageW(hwnd_, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory.get()), PRF_CLIENT);
        drawnTexts_ = nullptr;
        GdiFlush();
    }

    std::string listing;
    for (const DrawnText& t : texts) {
        std::wstring line = t.text;
        for (wchar_t& c : line) {
            c = c < L' ' ? L' ' : c;
        }
        listing += rectFields(t.cell) + '\t' + rectFields(t.box) + '\t' + std::to_string(t.width) +
                   '\t' + toUtf8(line) + '\n';
    }
    const std::wstring textsPath =
        std::wstring(dir, length) + L"\\texts-" + std::to_wstring(number) + L".txt";
    const KernelHandle textsFile(CreateFileW(textsPath.c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!textsFile.valid() ||
        !writeAll(textsFile.get(), listing.data(), static_cast<DWORD>(listing.size()))) {
        return false;
    }

    std::wstring path(dir, length);
    path += L"\\snapshot-" + std::to_wstring(number) + L".bmp";
    const KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return false;
    }
    const DWORD rowBytes = static_cast<DWORD>(width) * 4;
    const DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPINFOHEADER header = bi.bmiHeader;
    header.biHeight = height;  // bottom-up on disk, the form every reader accepts
    header.biSizeImage = imageBytes;
    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = 0x4D42;  // "BM"
    fileHeader.bfOffBits = sizeof fileHeader + sizeof header;
    fileHeader.bfSize = fileHeader.bfOffBits + imageBytes;
    if (!writeAll(file.get(), &fileHeader, sizeof fileHeader) ||
        !writeAll(file.get(), &header, sizeof header)) {
        return false;
    }
    const auto* rows = static_cast<const unsigned char*>(bits);
    for (int y = height - 1; y >= 0; --y) {
        if (!writeAll(file.get(), rows + static_cast<std::size_t>(y) * rowBytes, rowBytes)) {
            return false;
        }
    }
    return true;
}

}  // namespace vindral
