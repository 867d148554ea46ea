// Texts a client chose (its name, for one) go into the log through this, so that no client can
// start a line of its own or send a terminal its escape sequences.
#pragma once

#include <string>
#include <string_view>

namespace vindral {

// `text` with every control character (C0, DEL and the C1 range as UTF-8) and the backslash
// written as "\xNN" per byte ("\\" for the backslash); everything else is kept as it is.
std::string escapeForLog(std::string_view text);

}  // namespace vindral
