// The INI file without the Windows private-profile functions: a reader and a writer of our own
// with the same observable behaviour for the keys of the "Vindral" section. The file is UTF-8.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "core/format.h"
#include "settings/settings.h"

namespace vindral {
namespace {

constexpr char kWhitespace[] = " \t\r\n\v\f";

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kWhitespace);
    return text.substr(first, last - first + 1);
}

// Section and key names compare without regard to ASCII case, as on Windows.
bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// The file's lines without their line ends; a byte-order mark before the first line is taken off
// and reported through `hadBom`, so that a save can put it back.
std::vector<std::string> readLines(const std::string& path, bool* hadBom = nullptr) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    const bool bom = !lines.empty() && lines[0].starts_with(kUtf8Bom);
    if (bom) {
        lines[0].erase(0, 3);
    }
    if (hadBom != nullptr) {
        *hadBom = bom;
    }
    return lines;
}

// The name inside "[name]", or nothing when the line is no section header.
std::optional<std::string> sectionName(const std::string& line) {
    const std::string text = trim(line);
    if (text.empty() || text.front() != '[') {
        return std::nullopt;
    }
    const size_t close = text.find(']');
    return trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

// Key and value of a "key=value" line, both trimmed.
std::optional<std::pair<std::string, std::string>> keyValue(const std::string& line) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
        return std::nullopt;
    }
    return std::pair{trim(line.substr(0, eq)), trim(line.substr(eq + 1))};
}

// Indices [begin, end) of the lines inside the section, or nothing when it is absent.
std::optional<std::pair<size_t, size_t>> findSection(const std::vector<std::string>& lines) {
    const std::string wanted = toUtf8(ini::kSection);
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = sectionName(lines[i]);
        if (!name || !sameName(*name, wanted)) {
            continue;
        }
        size_t end = i + 1;
        while (end < lines.size() && !sectionName(lines[end])) {
            ++end;
        }
        return std::pair{i + 1, end};
    }
    return std::nullopt;
}

// The raw value of the key in the section, quotes around it removed as Windows does.
std::optional<std::string> findValue(const std::wstring& iniPath, const wchar_t* key) {
    const std::vector<std::string> lines = readLines(toUtf8(iniPath));
    const auto section = findSection(lines);
    if (!section) {
        return std::nullopt;
    }
    const std::string wanted = toUtf8(key);
    for (size_t i = section->first; i < section->second; ++i) {
        const auto kv = keyValue(lines[i]);
        if (!kv || !sameName(kv->first, wanted)) {
            continue;
        }
        std::string value = kv->second;
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return std::nullopt;
}

// Leading decimal number with an optional sign; the digits wrap around 32 bits as the Windows
// integer read does. No digits read as 0.
int32_t parseLeadingInt(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10u + static_cast<uint32_t>(text[i] - '0');
    }
    return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
}

// Writes the whole text to a temporary file beside the target and renames it over the target, so
// an interrupted save leaves either the old file or the new one, never half a file.
void replaceFile(const std::string& path, const std::string& content) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
    }
}

}  // namespace

std::wstring settingsIniPath() {
    std::filesystem::path folder = ".";
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && config[0] == '/') {
        folder = std::filesystem::path(config) / "Vindral";
    } else if (home && home[0] != '\0') {
        folder = std::filesystem::path(home) / ".config" / "Vindral";
    }
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return fromUtf8((folder / "vindral.ini").string());
}

namespace ini {

int32_t readInt(const std::wstring& iniPath, const wchar_t* key, int32_t defaultValue) {
    const auto value = findValue(iniPath, key);
    if (!value || value->empty()) {
        return defaultValue;
    }
    return parseLeadingInt(*value);
}

std::wstring readText(const std::wstring& iniPath, const wchar_t* key,
                      const std::wstring& defaultValue) {
    const auto value = findValue(iniPath, key);
    std::wstring text = value ? fromUtf8(*value) : defaultValue;
    if (text.size() >= kTextBufferChars) {
        text.resize(kTextBufferChars - 1);
    }
    return text;
}

void writeTexts(const std::wstring& iniPath,
                const std::vector<std::pair<const wchar_t*, std::wstring>>& entries) {
    const std::string path = toUtf8(iniPath);
    bool hadBom = false;
    std::vector<std::string> lines = readLines(path, &hadBom);
    auto section = findSection(lines);
    if (!section) {
        if (!lines.empty() && !trim(lines.back()).empty()) {
            lines.emplace_back();
        }
        lines.push_back("[" + toUtf8(kSection) + "]");
        section = std::pair{lines.size(), lines.size()};
    }
    // New keys go after the section's last non-blank line, so a blank line before the next
    // section stays where it was.
    size_t insertAt = section->second;
    while (insertAt > section->first && trim(lines[insertAt - 1]).empty()) {
        --insertAt;
    }
    for (const auto& [key, value] : entries) {
        const std::string name = toUtf8(key);
        const std::string line = name + "=" + toUtf8(value);
        bool replaced = false;
        for (size_t i = section->first; i < insertAt && !replaced; ++i) {
            const auto kv = keyValue(lines[i]);
            if (kv && sameName(kv->first, name)) {
                lines[i] = line;
                replaced = true;
            }
        }
        if (!replaced) {
            lines.insert(lines.begin() + static_cast<ptrdiff_t>(insertAt), line);
            ++insertAt;
        }
    }
    std::ostringstream content;
    // Dropping the mark would let a second one (or a header behind it) read differently next time.
    if (hadBom) {
        content << kUtf8Bom;
    }
    for (const std::string& line : lines) {
        content << line << '\n';
    }
    replaceFile(path, content.str());
}

}  // namespace ini
}  // namespace vindral
