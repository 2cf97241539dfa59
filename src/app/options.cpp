#include "app/options.h"

#include <charconv>

namespace lumeno::app {

std::string usageText() {
    return "Usage: lumeno [options]\n"
           "\n"
           "Assistive listening: streams an audio input to listeners' phones at http://<address>:PORT/listen\n"
           "\n"
           "Options:\n"
           "  --headless            run as a service without a window\n"
           "  --port N              listen on TCP port N (default 8080)\n"
           "  --config-dir DIR      keep settings.json in DIR (default $XDG_CONFIG_HOME/lumeno)\n"
           "  --set KEY=VALUE       store a setting before starting (for example isStreaming=true)\n"
           "  --help                show this help and exit\n"
           "  --version             show the version and exit\n";
}

ParseResult parseOptions(const std::vector<std::string>& args) {
    Options options;
    auto fail = [](std::string message) { return ParseResult{std::nullopt, std::move(message)}; };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            (void)name;
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.showHelp = true;
        } else if (arg == "--version") {
            options.showVersion = true;
        } else if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--port") {
            auto text = value("--port");
            if (!text) return fail("--port needs a number");
            unsigned port = 0;
            auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), port);
            if (ec != std::errc() || end != text->data() + text->size() || port > 65535)
                return fail("--port needs a number from 0 to 65535, not '" + *text + "'");
            options.port = static_cast<std::uint16_t>(port);
        } else if (arg == "--config-dir") {
            auto dir = value("--config-dir");
            if (!dir || dir->empty()) return fail("--config-dir needs a folder");
            options.configDir = *dir;
        } else if (arg == "--set") {
            auto pair = value("--set");
            const auto eq = pair ? pair->find('=') : std::string::npos;
            if (!pair || eq == std::string::npos || eq == 0) return fail("--set needs KEY=VALUE");
            options.settings.emplace_back(pair->substr(0, eq), pair->substr(eq + 1));
        } else {
            return fail("unknown option '" + arg + "'");
        }
    }
    return {options, {}};
}

}  // namespace lumeno::app

#include <cstdlib>

#include "prefs/keys.h"
#include "prefs/preferences_store.h"

namespace lumeno::app {

std::string applySettings(prefs::PreferencesStore& store,
                          const std::vector<std::pair<std::string, std::string>>& settings) {
    for (const auto& [name, text] : settings) {
        const prefs::KeyInfo* info = nullptr;
        for (const auto& k : prefs::kKeyTable)
            if (name == k.name) info = &k;
        if (!info) return "unknown setting '" + name + "'";
        switch (info->kind) {
            case prefs::ValueKind::boolean:
                if (text == "true" || text == "1" || text == "yes")
                    store.setBool(name, true);
                else if (text == "false" || text == "0" || text == "no")
                    store.setBool(name, false);
                else
                    return name + " takes true or false, not '" + text + "'";
                break;
            case prefs::ValueKind::number: {
                char* end = nullptr;
                const double v = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0') return name + " takes a number, not '" + text + "'";
                store.setDouble(name, v);
                break;
            }
            case prefs::ValueKind::string:
                // An empty value removes the key, as clearing a field does.
                store.setString(name, text.empty() ? std::nullopt : std::optional<std::string>(text));
                break;
            case prefs::ValueKind::data:
                store.setData(name, text.empty() ? std::nullopt : std::optional<std::string>(text));
                break;
        }
    }
    return {};
}

}  // namespace lumeno::app
