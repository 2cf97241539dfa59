#include "ui/preferences/corrections_file.h"

#include <nlohmann/json.hpp>

#include "speech/icu_text.h"

namespace lumeno::ui {

using nlohmann::json;

namespace {

std::string kindOf(const json& value) {
    if (value.is_array()) return "a list";
    if (value.is_number()) return "a number";
    if (value.is_boolean()) return "true or false";
    if (value.is_null()) return "null";
    if (value.is_object()) return "an object";
    return "text";
}

constexpr const char* kExpected = "Corrections are one JSON object of texts, like {\"gods word\": \"God's Word\"}.";

}  // namespace

std::string correctionKey(const std::string& heard) {
    return speech::toUtf8(speech::lower(speech::trimWhitespace(speech::toUnicode(heard))));
}

std::variant<speech::CorrectionMap, CorrectionsFileError> parseCorrectionsFile(std::string_view bytes) {
    json document;
    try {
        document = json::parse(bytes);
    } catch (const json::parse_error& error) {
        return CorrectionsFileError{std::string("The file is not valid JSON (") + error.what() + ")."};
    }
    if (!document.is_object())
        return CorrectionsFileError{"The file holds " + kindOf(document) + ". " + kExpected};
    speech::CorrectionMap corrections;
    for (const auto& [heard, replacement] : document.items()) {
        if (!replacement.is_string())
            return CorrectionsFileError{"The correction for \"" + heard + "\" is " + kindOf(replacement) +
                                        ", not text. " + kExpected};
        const std::string key = correctionKey(heard);
        if (key.empty()) return CorrectionsFileError{"A correction has no text as heard."};
        corrections[key] = replacement.get<std::string>();
    }
    return corrections;
}

std::string encodeCorrectionsFile(const speech::CorrectionMap& corrections) {
    return json(corrections).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace lumeno::ui
