#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumeno::core {

// Standard base64 with padding (RFC 4648). Decoding ignores nothing: any stray character fails.
std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace lumeno::core
