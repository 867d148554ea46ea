// The earlier, simpler JSON reader, kept as the oracle of the differential fuzz target.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"

namespace vindral::reference {

// The same contract as vindral::parseJson.
std::optional<JsonValue> parseJson(std::string_view text, std::string* error = nullptr);

}  // namespace vindral::reference
