#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "speech/correction_rules.h"

namespace lumeno::ui {

// The exchange form of the custom corrections: one JSON object, misheard text to replacement,
// the same file lumeno-text --corrections reads.
struct CorrectionsFileError {
    std::string problem;  // a sentence for the operator
};

// Keys come back trimmed and lower-cased, as the window stores them; the whole file is refused
// when it is not an object of texts or a key is blank.
std::variant<speech::CorrectionMap, CorrectionsFileError> parseCorrectionsFile(std::string_view bytes);
std::string encodeCorrectionsFile(const speech::CorrectionMap& corrections);

// The stored name for a text as heard: trimmed of white space and lower-cased.
std::string correctionKey(const std::string& heard);

}  // namespace lumeno::ui
