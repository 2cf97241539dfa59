#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumeno::platform {

// The three files a decoder needs for one language.
struct ModelFiles {
    std::filesystem::path acousticModel;  // folder holding mdef, means, variances, ...
    std::filesystem::path languageModel;  // .lm.bin or .lm
    std::filesystem::path dictionary;     // .dict or .dic
};

// Where models are looked for: the folders listed in LUMENO_MODEL_DIR (colon-separated, first
// wins), then Debian's. `environmentValue` is the variable's value, or null when it is unset.
inline constexpr const char* kDebianModelRoot = "/usr/share/pocketsphinx/model";
std::vector<std::filesystem::path> modelRoots(const char* environmentValue);

// The model for a locale: a folder named after it ("en-us", or exactly "en-US") in one of the
// roots, holding an acoustic-model folder, a language model and a dictionary. Where a folder
// holds several language models (Debian's en-us also has a phone model), the one named after
// the folder wins, then the first by name. Absent when no root has a complete model.
std::optional<ModelFiles> findModel(const std::vector<std::filesystem::path>& roots, const std::string& locale);

}  // namespace lumeno::platform
