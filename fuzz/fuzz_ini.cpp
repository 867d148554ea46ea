// Any file at the settings path through the native INI reader and the settings rules, then a save
// into that same file (which keeps whatever else it holds) and a second load.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/format.h"
#include "fuzz/fuzz_support.h"
#include "settings/settings.h"

namespace vindral {
namespace {

// In memory where the system has a tmpfs: the target writes and reads the file on every input.
std::string scratchPath() {
    const std::filesystem::path shm = "/dev/shm";
    const std::filesystem::path folder =
        std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
    return (folder / ("vindral-fuzz-" + std::to_string(::getpid()) + ".ini")).string();
}

bool sameSettings(const Settings& a, const Settings& b) {
    return static_cast<const EngineConfig&>(a) == static_cast<const EngineConfig&>(b) &&
           a.alwaysOnTop == b.alwaysOnTop && a.miniMode == b.miniMode &&
           a.koreanColors == b.koreanColors && a.coinInitials == b.coinInitials &&
           a.opacityPct == b.opacityPct && a.zoomPct == b.zoomPct && a.posX == b.posX &&
           a.posY == b.posY;
}

void checkBounds(const Settings& s) {
    using fuzz::check;
    check(s.intervalMs >= kMinIntervalMs && s.intervalMs <= kMaxIntervalMs);
    check(countExchanges(s) >= 1 && countCoins(s) >= 1);
    check(s.opacityPct >= 30 && s.opacityPct <= 100);
    check(s.zoomPct >= 80 && s.zoomPct <= 150);
    check(normalizeServerUrl(s.serverUrl) == s.serverUrl);
}

// Whether a URL reads back as it was written: not when it is longer than the text buffer (a
// scheme was put in front of a long text), nor when it stands in quotes, which the reader takes
// off as Windows does.
bool survivesTheFile(const std::wstring& url) {
    if (url.size() >= ini::kTextBufferChars) {
        return false;
    }
    return url.size() < 2 || url.front() != url.back() ||
           (url.front() != L'"' && url.front() != L'\'');
}

}  // namespace
}  // namespace vindral

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    using fuzz::check;
    static const std::string path = scratchPath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::wstring iniPath = fromUtf8(path);
    const Settings loaded = loadSettings(iniPath);
    checkBounds(loaded);
    check(ini::readText(iniPath, L"ServerUrl", L"").size() < ini::kTextBufferChars);

    saveSettings(loaded, iniPath);
    const Settings again = loadSettings(iniPath);
    if (survivesTheFile(loaded.serverUrl)) {
        check(sameSettings(again, loaded));
    } else {
        checkBounds(again);
    }
    std::remove(path.c_str());
    return 0;
}
