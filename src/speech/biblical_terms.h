#pragma once

#include <span>

namespace lumeno::speech {

struct TermCorrection {
    const char* spoken;   // lower case, as the recogniser tends to write it
    const char* written;  // the usual written form
};

// The built-in table of scripture names and church vocabulary, in table order. It fixes
// capitalisation and a few variant spellings; reference formatting is done elsewhere.
std::span<const TermCorrection> biblicalTermTable();

}  // namespace lumeno::speech
