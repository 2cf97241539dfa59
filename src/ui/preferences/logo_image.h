#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumeno::ui {

// The image kinds a listener page logo may be.
enum class LogoKind { png, jpeg, gif, svg };

// The logo is kept in the settings file, rewritten with every later change of any setting, and
// sent to every listener at every page load, so it has to stay small.
inline constexpr std::size_t kMaxLogoBytes = 2 * 1024 * 1024;
inline constexpr const char* kMaxLogoText = "2 MB";

// The kind the bytes themselves announce (signature, or an XML document whose root is <svg>),
// whatever the file was called. Absent for anything else.
std::optional<LogoKind> detectLogoKind(std::string_view bytes);

// The stored "logoFileExtension" for a kind: the one the listener page serves it by.
const char* logoExtension(LogoKind kind);

}  // namespace lumeno::ui
