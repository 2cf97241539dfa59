#pragma once

#include <span>
#include <string>
#include <string_view>

#include "app/options.h"

namespace lumeno::app {

// The lumeno(1) manual page in groff's man format, its OPTIONS section made from `options`.
std::string manPage(std::span<const OptionDoc> options, std::string_view version, std::string_view date);

// Plain text made safe for a man page: backslashes and line-leading dots or quotes lose their
// meaning to groff, and the dashes of option names become real minus signs, so an option
// copied from the page works in a shell.
std::string manText(std::string_view plain);

}  // namespace lumeno::app
