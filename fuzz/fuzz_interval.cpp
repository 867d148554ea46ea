// The interval field of the settings dialog: any text the user can type, as UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/format.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    using fuzz::check;
    const std::wstring text = fromUtf8(fuzz::asText(data, size));
    const std::int32_t seconds = parseInterval(text);
    check(seconds >= -1);
    if (seconds >= 0) {
        // Whatever the dialog shows for an interval it reads back as the same interval.
        check(parseInterval(formatInterval(seconds)) == seconds);
    }
    return 0;
}
