#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace lumeno::core {

// An immutable byte buffer that any number of holders share: an audio chunk handed to every
// listener, a response, a stored logo. Nobody copies it to pass it on.
using Bytes = std::vector<std::uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;

inline SharedBytes makeBytes(std::string_view text) { return std::make_shared<const Bytes>(text.begin(), text.end()); }

}  // namespace lumeno::core
