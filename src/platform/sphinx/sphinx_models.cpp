#include "platform/sphinx/sphinx_models.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace lumeno::platform {

namespace fs = std::filesystem;

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The entries of a folder sorted by name; empty when it cannot be read.
std::vector<fs::directory_entry> sortedEntries(const fs::path& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    return entries;
}

bool isFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

std::optional<ModelFiles> modelIn(const fs::path& folder) {
    const std::string name = folder.filename().string();
    ModelFiles model;
    std::vector<fs::path> languageModels;
    for (const auto& entry : sortedEntries(folder)) {
        const fs::path& path = entry.path();
        const std::string file = path.filename().string();
        std::error_code error;
        if (entry.is_directory(error)) {
            if (model.acousticModel.empty() && isFile(path / "mdef") && isFile(path / "means")) model.acousticModel = path;
        } else if (endsWith(file, ".lm.bin") || endsWith(file, ".lm")) {
            languageModels.push_back(path);
        } else if (model.dictionary.empty() && (endsWith(file, ".dict") || endsWith(file, ".dic"))) {
            model.dictionary = path;
        }
    }
    for (const char* suffix : {".lm.bin", ".lm"}) {
        if (model.languageModel.empty() && isFile(folder / (name + suffix))) model.languageModel = folder / (name + suffix);
    }
    if (model.languageModel.empty() && !languageModels.empty()) model.languageModel = languageModels.front();
    if (model.acousticModel.empty() || model.languageModel.empty() || model.dictionary.empty()) return std::nullopt;
    return model;
}

}  // namespace

std::vector<fs::path> modelRoots(const char* environmentValue) {
    std::vector<fs::path> roots;
    if (environmentValue) {
        std::string value = environmentValue;
        std::size_t start = 0;
        while (start <= value.size()) {
            const std::size_t end = std::min(value.find(':', start), value.size());
            if (end > start) roots.emplace_back(value.substr(start, end - start));
            start = end + 1;
        }
    }
    roots.emplace_back(kDebianModelRoot);
    return roots;
}

std::optional<ModelFiles> findModel(const std::vector<fs::path>& roots, const std::string& locale) {
    // A locale is a name, never a path: "../x" must not reach outside the roots.
    if (locale.empty() || locale.find_first_of("/\\") != std::string::npos || locale == "." || locale == "..")
        return std::nullopt;
    for (const auto& root : roots) {
        for (const std::string& name : {lowercase(locale), locale}) {
            if (auto model = modelIn(root / name)) return model;
        }
    }
    return std::nullopt;
}

std::vector<fs::path> speechDataDirs(const fs::path& executableDir) {
    return {executableDir / "share/lumeno/speech", executableDir / "../share/lumeno/speech"};
}

std::optional<fs::path> findSpeechData(const std::vector<fs::path>& dirs, const std::string& file) {
    for (const auto& dir : dirs)
        if (isFile(dir / file)) return dir / file;
    return std::nullopt;
}

}  // namespace lumeno::platform
