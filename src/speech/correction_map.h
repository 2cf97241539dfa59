#pragma once

#include <map>
#include <string>

namespace lumeno::speech {

// Lower-cased misheard text -> replacement as written. Kept apart from the compiled rules, so
// code that only passes corrections around (the window among it) never sees ICU.
using CorrectionMap = std::map<std::string, std::string>;

struct AppliedCorrection {
    std::string matched;
    std::string replacement;
    bool operator==(const AppliedCorrection&) const = default;
};

}  // namespace lumeno::speech
