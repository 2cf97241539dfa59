#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumeno::app {

// The command line of the lumeno binary.
struct Options {
    std::uint16_t port = 8080;
    std::optional<std::string> configDir;
    bool headless = false;
    bool showHelp = false;
    bool showVersion = false;
    std::vector<std::pair<std::string, std::string>> settings;  // --set KEY=VALUE, in order
};

struct ParseResult {
    std::optional<Options> options;
    std::string error;  // set when options is absent
};

ParseResult parseOptions(const std::vector<std::string>& args);
std::string usageText();

}  // namespace lumeno::app

namespace lumeno::prefs {
class PreferencesStore;
}

namespace lumeno::app {
// Stores each --set value with its key's kind. Returns an error message, empty on success.
std::string applySettings(prefs::PreferencesStore& store,
                          const std::vector<std::pair<std::string, std::string>>& settings);
}  // namespace lumeno::app
