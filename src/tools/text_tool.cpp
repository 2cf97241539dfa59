#include "tools/text_tool.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>

#include "core/background.h"
#include "core/thread_main_queue.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "speech/transcription_correction_manager.h"

namespace lumeno::tools {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Options {
    std::optional<fs::path> configDir;
    std::optional<fs::path> correctionsFile;
    bool final = false;
    bool noBiblical = false;
    bool enable = false;
    bool help = false;
};

struct Parsed {
    std::optional<Options> options;
    std::string error;
};

Parsed parseOptions(const std::vector<std::string>& args) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // Options that take a value accept "--name VALUE" and "--name=VALUE".
        auto value = [&](const std::string& name) -> std::optional<std::string> {
            if (arg == name) {
                if (i + 1 < args.size()) return args[++i];
                return std::nullopt;
            }
            return arg.substr(name.size() + 1);
        };
        auto takesValue = [&](const std::string& name) { return arg == name || arg.rfind(name + "=", 0) == 0; };

        if (arg == "--final") {
            options.final = true;
        } else if (arg == "--no-biblical") {
            options.noBiblical = true;
        } else if (arg == "--enable") {
            options.enable = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (takesValue("--config-dir") || takesValue("--corrections")) {
            const std::string name = arg.substr(0, arg.find('='));
            const auto text = value(name);
            if (!text || text->empty()) return {std::nullopt, name + " needs a value"};
            (name == "--config-dir" ? options.configDir : options.correctionsFile) = fs::path(*text);
        } else {
            return {std::nullopt, "unknown argument " + arg};
        }
    }
    return {options, {}};
}

std::optional<std::string> readFile(const fs::path& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path.string();
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A corrections file is one JSON object whose values are all strings.
std::optional<speech::CorrectionMap> readCorrections(const fs::path& path, std::string& error) {
    const auto bytes = readFile(path, error);
    if (!bytes) return std::nullopt;
    const json document = json::parse(*bytes, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        error = path.string() + " is not a JSON object of corrections, like {\"gods word\": \"God's Word\"}";
        return std::nullopt;
    }
    speech::CorrectionMap corrections;
    for (const auto& [misheard, replacement] : document.items()) {
        if (!replacement.is_string()) {
            error = path.string() + ": the correction for \"" + misheard + "\" is not a string";
            return std::nullopt;
        }
        corrections[misheard] = replacement.get<std::string>();
    }
    return corrections;
}

// Copies the correction settings out of the operator's settings file into `into`. The file is
// opened only when it is a JSON object, so a damaged file is reported and left where it is
// rather than moved aside as the service would.
bool copyStoredSettings(const fs::path& configDir, prefs::PreferencesStore& into, core::Logger& log,
                        std::string& error) {
    const fs::path file = configDir / prefs::kSettingsFileName;
    std::error_code ec;
    if (!fs::exists(file, ec)) return true;  // nothing stored yet: every setting has its default
    const auto bytes = readFile(file, error);
    if (!bytes) return false;
    const json document = json::parse(*bytes, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        error = file.string() + " is not a settings file; it was left as it is";
        return false;
    }
    prefs::PreferencesStore stored(file, log);
    into.setBool(prefs::key::kTranscriptionCorrectionsEnabled,
                 stored.boolForKey(prefs::key::kTranscriptionCorrectionsEnabled));
    if (stored.hasKey(prefs::key::kTranscriptionUseBiblicalTerms))
        into.setBool(prefs::key::kTranscriptionUseBiblicalTerms,
                     stored.boolForKey(prefs::key::kTranscriptionUseBiblicalTerms));
    into.setData(prefs::key::kTranscriptionCustomCorrections,
                 stored.dataForKey(prefs::key::kTranscriptionCustomCorrections));
    return true;
}

}  // namespace

std::string textToolUsage() {
    return "usage: lumeno-text [options] < lines\n"
           "Corrects each line of standard input as the service corrects captions and writes it to\n"
           "standard output. Log lines go to standard error. Settings are read, never written.\n"
           "\n"
           "  --config-dir DIR         read settings from DIR (default: "
           + prefs::defaultConfigDir().string() + ")\n"
           "  --corrections FILE.json  use this JSON object of custom corrections instead of the stored ones\n"
           "  --no-biblical            leave the built-in biblical terms out\n"
           "  --enable                 apply corrections even when they are switched off in the settings\n"
           "  --final                  also run the punctuation pass and print the refined text\n"
           "  -h, --help               show this help\n";
}

int runTextTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                core::Logger& log) {
    const Parsed parsed = parseOptions(args);
    if (!parsed.options) {
        err << "lumeno-text: " << parsed.error << "\n\n" << textToolUsage();
        return 2;
    }
    const Options& options = *parsed.options;
    if (options.help) {
        out << textToolUsage();
        return 0;
    }

    std::string error;
    std::optional<speech::CorrectionMap> corrections;
    if (options.correctionsFile && !(corrections = readCorrections(*options.correctionsFile, error))) {
        err << "lumeno-text: " << error << "\n";
        return 2;
    }

    core::ThreadMainQueue mainQueue;
    core::BackgroundQueue background(1);
    // The tool works on a private copy, so nothing it changes reaches the operator's settings.
    auto settings = std::make_shared<prefs::PreferencesStore>(log);
    if (!copyStoredSettings(options.configDir.value_or(prefs::defaultConfigDir()), *settings, log, error)) {
        err << "lumeno-text: " << error << "\n";
        return 2;
    }
    if (options.enable) settings->setBool(prefs::key::kTranscriptionCorrectionsEnabled, true);
    if (options.noBiblical) settings->setBool(prefs::key::kTranscriptionUseBiblicalTerms, false);

    auto manager = speech::TranscriptionCorrectionManager::create(settings, {mainQueue, background, log});
    if (corrections) manager->setCustomCorrections(*corrections);

    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string text = manager->applyCorrections(line);
        if (options.final) {
            std::promise<std::string> refined;
            manager->refinePunctuation(text, [&refined](std::string result) { refined.set_value(std::move(result)); });
            text = refined.get_future().get();
        }
        out << text << '\n' << std::flush;
    }
    return 0;
}

}  // namespace lumeno::tools
