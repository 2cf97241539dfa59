#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumeno::platform {

// A domain model laid over a language's own: its language model is interpolated with the
// language's, its dictionary adds the words the language's lacks.
struct DomainModel {
    std::filesystem::path languageModel;
    std::filesystem::path dictionary;
};

// The three files a decoder needs for one language, and the domain model when one is chosen.
struct ModelFiles {
    std::filesystem::path acousticModel;  // folder holding mdef, means, variances, ...
    std::filesystem::path languageModel;  // .lm.bin or .lm
    std::filesystem::path dictionary;     // .dict or .dic
    std::optional<DomainModel> domain;
};

// Lumeno's own speech data: the church language model and the letter-to-sound rules, in
// share/lumeno/speech beside the binary (a build tree) or above it (an installation).
inline constexpr const char* kChurchLanguageModel = "church.lm.bin";
inline constexpr const char* kChurchDictionary = "church.dict";
inline constexpr const char* kLetterToSoundRules = "letter-to-sound.scm";
std::vector<std::filesystem::path> speechDataDirs(const std::filesystem::path& executableDir);
// The first folder that holds `file`; absent when none does.
std::optional<std::filesystem::path> findSpeechData(const std::vector<std::filesystem::path>& dirs,
                                                    const std::string& file);

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
