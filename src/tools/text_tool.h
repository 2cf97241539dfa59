#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "core/log.h"

namespace lumeno::tools {

// lumeno-text: reads recogniser-like lines from `in` and writes each corrected line to `out`,
// with the operator's stored correction settings or the ones given on the command line. Errors
// go to `err`, the engine's log lines to `log`, so `out` holds only text. Never writes settings.
// Returns the exit status: 0, or 2 for bad options, an unusable corrections file or settings file.
int runTextTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                core::Logger& log);

std::string textToolUsage();

}  // namespace lumeno::tools
