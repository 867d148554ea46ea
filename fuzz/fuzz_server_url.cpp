// A server URL as the user types it, and a session id as a server sends it, through the URL rules
// of the server road. Input: the URL text, then a NUL byte, then the session id.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/board.h"
#include "core/format.h"
#include "fuzz/fuzz_support.h"
#include "net/server_protocol.h"

namespace vindral {
namespace {

bool isUnreserved(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'.' || c == L'_' || c == L'~';
}

int hexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// An encoded id holds nothing but unreserved characters and %XX escapes, and decodes to the id:
// it can add no path segment, query or header line to a URL.
void checkEncodedId(const std::wstring& encoded, std::string_view id) {
    using fuzz::check;
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != L'%') {
            check(isUnreserved(encoded[i]));
            decoded += static_cast<char>(encoded[i]);
            continue;
        }
        check(i + 2 < encoded.size());
        const int high = hexValue(encoded[i + 1]);
        const int low = hexValue(encoded[i + 2]);
        check(high >= 0 && low >= 0);
        const char byte = static_cast<char>(high * 16 + low);
        check(!isUnreserved(static_cast<wchar_t>(static_cast<unsigned char>(byte))));
        decoded += byte;
        i += 2;
    }
    check(decoded == id);
}

}  // namespace
}  // namespace vindral

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    using fuzz::check;
    const std::string_view input = fuzz::asText(data, size);
    const std::size_t nul = input.find('\0');
    const std::wstring typed = fromUtf8(input.substr(0, nul));
    const std::string_view id =
        nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    const std::wstring url = normalizeServerUrl(typed);
    check(normalizeServerUrl(url) == url);
    if (url.empty()) {
        // Only blanks and slashes give no server at all.
        for (const wchar_t c : typed) {
            check(isWideSpace(c) || c == L'/');
        }
        return 0;
    }
    check(url.find(L"://") != std::wstring::npos);
    check(!isWideSpace(url.front()) && !isWideSpace(url.back()) && url.back() != L'/');

    const std::wstring session = sessionUrl(url, id);
    const std::wstring prefix = createSessionUrl(url) + L"/";
    check(session.starts_with(url) && session.starts_with(prefix));
    checkEncodedId(session.substr(prefix.size()), id);
    check(nextBoardUrl(url, id, 0).starts_with(session + L"/next?"));
    check(refreshSessionUrl(url, id) == session + L"/refresh");
    return 0;
}
