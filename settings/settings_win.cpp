#include <windows.h>
// The line break keeps clang-format from sorting these above windows.h, which they need.
#include <initguid.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "core/kernel_handle_win.h"
#include "settings/settings.h"

namespace vindral {
namespace {

// WritePrivateProfileStringW creates a missing file in the ANSI code page, which turns Korean or
// other non-Latin text into "??". A file that starts as UTF-16LE with its byte-order mark is kept
// in UTF-16LE, so every character survives.
void createUtf16FileIfMissing(const std::wstring& iniPath) {
    KernelHandle file(CreateFileW(iniPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return;
    }
    const unsigned char bom[] = {0xFF, 0xFE};
    DWORD written = 0;
    WriteFile(file.get(), bom, sizeof bom, &written, nullptr);
}

}  // namespace

std::wstring settingsIniPath() {
    std::wstring folder = L".";
    PWSTR roaming = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming))) {
        folder = std::wstring(roaming) + L"\\Vindral";
    }
    // The buffer is freed on every path: the lookup may allocate even when it fails.
    CoTaskMemFree(roaming);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\vindral.ini";
}

namespace ini {

int32_t readInt(const std::wstring& iniPath, const wchar_t* key, int32_t defaultValue) {
    return static_cast<int32_t>(
        GetPrivateProfileIntW(kSection, key, defaultValue, iniPath.c_str()));
}

std::wstring readText(const std::wstring& iniPath, const wchar_t* key,
                      const std::wstring& defaultValue) {
    wchar_t buffer[kTextBufferChars] = {};
    const DWORD length = GetPrivateProfileStringW(kSection, key, defaultValue.c_str(), buffer,
                                                  kTextBufferChars, iniPath.c_str());
    return std::wstring(buffer, length);
}

void writeTexts(const std::wstring& iniPath,
                const std::vector<std::pair<const wchar_t*, std::wstring>>& entries) {
    createUtf16FileIfMissing(iniPath);
    for (const auto& [key, value] : entries) {
        WritePrivateProfileStringW(kSection, key, value.c_str(), iniPath.c_str());
    }
}

}  // namespace ini
}  // namespace vindral
