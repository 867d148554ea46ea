#include "settings/settings.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/format.h"

namespace vindral {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed afterwards: no test reads or
// writes the user's real settings.
class SettingsFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ =
            fs::temp_directory_path() / (std::string("vindral-settings-") + info->name() + "-" +
                                         std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        path_ = (folder_ / "vindral.ini").wstring();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Writes an ASCII file, which both the private-profile functions and our reader accept.
    void writeIni(const std::string& text) const {
        std::ofstream out(fs::path(path_), std::ios::binary);
        out << text;
    }

    fs::path folder_;
    std::wstring path_;
};

TEST_F(SettingsFileTest, MissingFileGivesDefaultsWithTheDefaultServer) {
    const Settings s = loadSettings(path_);
    EXPECT_EQ(s.intervalMs, 5000);
    EXPECT_EQ(s.exchanges, (std::array<bool, 5>{false, true, false, false, false}));
    EXPECT_EQ(s.coins, (std::array<bool, 3>{true, true, true}));
    EXPECT_EQ(s.serverUrl, L"http://vindral.local:12500");
    EXPECT_TRUE(s.alwaysOnTop);
    EXPECT_FALSE(s.miniMode);
    EXPECT_TRUE(s.koreanColors);
    EXPECT_TRUE(s.coinInitials);
    EXPECT_EQ(s.opacityPct, 95);
    EXPECT_EQ(s.zoomPct, 100);
    EXPECT_EQ(s.posX, INT_MIN);
    EXPECT_EQ(s.posY, INT_MIN);
}

TEST_F(SettingsFileTest, DefaultConstructedRecordHasAnEmptyServerUrl) {
    EXPECT_EQ(Settings{}.serverUrl, L"");
    EXPECT_EQ(Settings{}.posX, INT_MIN);
}

struct LoadCase {
    const char* line;  // one "Key=value" line of the section
    Settings expected;
};

Settings with(auto change) {
    Settings s;
    s.serverUrl = L"http://vindral.local:12500";
    change(s);
    return s;
}

TEST_F(SettingsFileTest, LoadAppliesDecodingDefaultsAndBounds) {
    const LoadCase cases[] = {
        {"Exchanges=00000", with([](Settings&) {})},
        {"Exchanges=1", with([](Settings& s) {
             s.exchanges = {true, false, false, false, false};
         })},
        {"Exchanges=1111111", with([](Settings& s) {
             s.exchanges = {true, true, true, true, true};
         })},
        {"Exchanges=0a1", with([](Settings& s) {
             s.exchanges = {false, false, true, false, false};
         })},
        {"Coins=000", with([](Settings& s) {
             s.coins = {true, false, false};
         })},
        {"Coins=011", with([](Settings& s) {
             s.coins = {false, true, true};
         })},
        {"IntervalSec=0", with([](Settings& s) { s.intervalMs = 1000; })},
        {"IntervalSec=-5", with([](Settings& s) { s.intervalMs = 1000; })},
        {"IntervalSec=30", with([](Settings& s) { s.intervalMs = 30000; })},
        {"IntervalSec=600", with([](Settings& s) { s.intervalMs = 300000; })},
        // Seconds times 1000 would overflow 32 bits; computed in 64 bits it clamps.
        {"IntervalSec=2147483647", with([](Settings& s) { s.intervalMs = 300000; })},
        {"IntervalSec=-2147483648", with([](Settings& s) { s.intervalMs = 1000; })},
        {"IntervalSec=12abc", with([](Settings& s) { s.intervalMs = 12000; })},
        {"IntervalSec=+7", with([](Settings& s) { s.intervalMs = 7000; })},
        {"IntervalSec=", with([](Settings&) {})},
        {"OpacityPct=10", with([](Settings& s) { s.opacityPct = 30; })},
        {"OpacityPct=200", with([](Settings& s) { s.opacityPct = 100; })},
        {"OpacityPct=-1", with([](Settings& s) { s.opacityPct = 30; })},
        {"ZoomPct=50", with([](Settings& s) { s.zoomPct = 80; })},
        {"ZoomPct=300", with([](Settings& s) { s.zoomPct = 150; })},
        {"ZoomPct=125", with([](Settings& s) { s.zoomPct = 125; })},
        {"PosX=-1200", with([](Settings& s) { s.posX = -1200; })},
        {"PosY=  42  ", with([](Settings& s) { s.posY = 42; })},
        {"AlwaysOnTop=0", with([](Settings& s) { s.alwaysOnTop = false; })},
        {"MiniMode=7", with([](Settings& s) { s.miniMode = true; })},
        {"KoreanColors=0", with([](Settings& s) { s.koreanColors = false; })},
        {"CoinInitials=-1", with([](Settings& s) { s.coinInitials = true; })},
        {"CoinInitials=0", with([](Settings& s) { s.coinInitials = false; })},
        {"ClickThrough=1", with([](Settings& s) { s.clickThrough = true; })},
        {"ClickThrough=0", with([](Settings&) {})},
        {"KimchiPremium=1", with([](Settings& s) { s.kimchiPremium = true; })},
        {"KimchiPremium=0", with([](Settings&) {})},
        {"KimchiPremium=yes", with([](Settings&) {})},
        {"ServerUrl=", with([](Settings& s) { s.serverUrl = L""; })},
        {"ServerUrl=   ", with([](Settings& s) { s.serverUrl = L""; })},
        {"ServerUrl=192.168.0.7:12500/",
         with([](Settings& s) { s.serverUrl = L"http://192.168.0.7:12500"; })},
        {"ServerUrl=https://prices.lan//",
         with([](Settings& s) { s.serverUrl = L"https://prices.lan"; })},
        {"serverurl=http://lower.case",
         with([](Settings& s) { s.serverUrl = L"http://lower.case"; })},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.line);
        writeIni(std::string("[Vindral]\r\n") + c.line + "\r\n");
        const Settings s = loadSettings(path_);
        const Settings& e = c.expected;
        EXPECT_EQ(s.intervalMs, e.intervalMs);
        EXPECT_EQ(s.exchanges, e.exchanges);
        EXPECT_EQ(s.coins, e.coins);
        EXPECT_EQ(s.serverUrl, e.serverUrl);
        EXPECT_EQ(s.alwaysOnTop, e.alwaysOnTop);
        EXPECT_EQ(s.miniMode, e.miniMode);
        EXPECT_EQ(s.koreanColors, e.koreanColors);
        EXPECT_EQ(s.coinInitials, e.coinInitials);
        EXPECT_EQ(s.opacityPct, e.opacityPct);
        EXPECT_EQ(s.zoomPct, e.zoomPct);
        EXPECT_EQ(s.posX, e.posX);
        EXPECT_EQ(s.posY, e.posY);
        EXPECT_EQ(s.clickThrough, e.clickThrough);
        // Every other line stands for an older file without the key: the premium stays off.
        EXPECT_EQ(s.kimchiPremium, e.kimchiPremium);
    }
}

TEST_F(SettingsFileTest, KeysOfOtherSectionsAreNotRead) {
    writeIni("[Other]\r\nZoomPct=120\r\n[Vindral]\r\nOpacityPct=50\r\n[Later]\r\nPosX=5\r\n");
    const Settings s = loadSettings(path_);
    EXPECT_EQ(s.zoomPct, 100);
    EXPECT_EQ(s.opacityPct, 50);
    EXPECT_EQ(s.posX, INT_MIN);
}

TEST_F(SettingsFileTest, SaveWritesEveryKeyAndRoundTrips) {
    Settings s;
    s.intervalMs = 30000;
    s.exchanges = {true, false, true, false, true};
    s.coins = {false, true, false};
    // Non-Latin text must survive the file (the default ANSI file of Windows would lose it).
    s.serverUrl = L"http://가격서버.local:12500";
    s.alwaysOnTop = false;
    s.miniMode = true;
    s.koreanColors = false;
    s.coinInitials = false;
    s.opacityPct = 31;
    s.zoomPct = 149;
    s.posX = -1200;
    s.posY = -7;
    s.clickThrough = true;
    s.kimchiPremium = true;
    saveSettings(s, path_);

    for (const wchar_t* key : {L"IntervalSec", L"Exchanges", L"Coins", L"ServerUrl", L"AlwaysOnTop",
                               L"MiniMode", L"KoreanColors", L"CoinInitials", L"OpacityPct",
                               L"ZoomPct", L"PosX", L"PosY", L"ClickThrough", L"KimchiPremium"}) {
        EXPECT_NE(ini::readText(path_, key, L"<absent>"), L"<absent>") << toUtf8(key);
    }
    EXPECT_EQ(ini::readText(path_, L"IntervalSec", L""), L"30");
    EXPECT_EQ(ini::readText(path_, L"Exchanges", L""), L"10101");
    EXPECT_EQ(ini::readText(path_, L"Coins", L""), L"010");
    EXPECT_EQ(ini::readText(path_, L"PosX", L""), L"-1200");
    EXPECT_EQ(ini::readText(path_, L"KimchiPremium", L""), L"1");

    const Settings back = loadSettings(path_);
    EXPECT_EQ(static_cast<const EngineConfig&>(back), static_cast<const EngineConfig&>(s));
    EXPECT_FALSE(back.alwaysOnTop);
    EXPECT_TRUE(back.miniMode);
    EXPECT_FALSE(back.koreanColors);
    EXPECT_FALSE(back.coinInitials);
    EXPECT_EQ(back.opacityPct, 31);
    EXPECT_EQ(back.zoomPct, 149);
    EXPECT_EQ(back.posX, -1200);
    EXPECT_EQ(back.posY, -7);
    EXPECT_TRUE(back.clickThrough);
}

TEST_F(SettingsFileTest, SaveTruncatesTheIntervalToWholeSeconds) {
    Settings s;
    s.intervalMs = 2500;
    saveSettings(s, path_);
    EXPECT_EQ(ini::readText(path_, L"IntervalSec", L""), L"2");
    EXPECT_EQ(loadSettings(path_).intervalMs, 2000);
}

TEST_F(SettingsFileTest, SaveKeepsOtherKeysAndSectionsAndReplacesItsOwn) {
    writeIni("[Other]\r\nA=1\r\n\r\n[Vindral]\r\nZoomPct=120\r\nCustom=kept\r\n");
    Settings s;
    s.zoomPct = 90;
    saveSettings(s, path_);
    saveSettings(s, path_);
    EXPECT_EQ(ini::readText(path_, L"Custom", L""), L"kept");
    EXPECT_EQ(loadSettings(path_).zoomPct, 90);

    std::ifstream in(fs::path(path_), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    // Whatever the encoding, the other section's key is still there, and our key only once.
    std::string ascii;
    for (char c : bytes) {
        if (c != '\0') {
            ascii += c;
        }
    }
    EXPECT_NE(ascii.find("[Other]"), std::string::npos);
    EXPECT_NE(ascii.find("A=1"), std::string::npos);
    EXPECT_EQ(ascii.find("ZoomPct"), ascii.rfind("ZoomPct"));
}

TEST_F(SettingsFileTest, LongServerUrlIsCutTo511Characters) {
    Settings s;
    s.serverUrl = L"http://h/" + std::wstring(600, L'a');
    saveSettings(s, path_);
    EXPECT_EQ(loadSettings(path_).serverUrl.size(), 511u);
}

#ifndef _WIN32
TEST_F(SettingsFileTest, NativePathFollowsXdgConfigHomeThenHomeAndCreatesTheFolder) {
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedConfig = oldConfig ? oldConfig : "";
    const std::string savedHome = oldHome ? oldHome : "";

    const fs::path config = folder_ / "config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    EXPECT_EQ(settingsIniPath(), (config / "Vindral" / "vindral.ini").wstring());
    EXPECT_TRUE(fs::is_directory(config / "Vindral"));

    const fs::path home = folder_ / "home";
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(settingsIniPath(), (home / ".config" / "Vindral" / "vindral.ini").wstring());
    EXPECT_TRUE(fs::is_directory(home / ".config" / "Vindral"));

    // A relative XDG_CONFIG_HOME is not a valid base and is ignored.
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(settingsIniPath(), (home / ".config" / "Vindral" / "vindral.ini").wstring());

    oldConfig ? setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    oldHome ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
}

TEST_F(SettingsFileTest, NativeSaveKeepsTheByteOrderMarkSoTheFileReadsTheSameAgain) {
    // Behind a second mark the header is no section header: the settings are the defaults, and
    // a save must not turn that line into one by dropping the first mark.
    writeIni("\xEF\xBB\xBF\xEF\xBB\xBF[Vindral]\nIntervalSec=60\n");
    const Settings loaded = loadSettings(path_);
    EXPECT_EQ(loaded.intervalMs, 5000);
    saveSettings(loaded, path_);
    EXPECT_EQ(loadSettings(path_).intervalMs, 5000);

    writeIni("\xEF\xBB\xBF[Vindral]\nIntervalSec=60\n");
    saveSettings(loadSettings(path_), path_);
    std::ifstream in(fs::path(path_), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(text.starts_with("\xEF\xBB\xBF[Vindral]\n")) << text;
    EXPECT_EQ(loadSettings(path_).intervalMs, 60000);
}

TEST_F(SettingsFileTest, NativeSaveLeavesNoTemporaryFileBehind) {
    saveSettings(Settings{}, path_);
    saveSettings(Settings{}, path_);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder_)) {
        ++files;
    }
    EXPECT_EQ(files, 1);
}
#endif

}  // namespace
}  // namespace vindral
