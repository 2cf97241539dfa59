#include "app/options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <variant>

#include "prefs/keys.h"
#include "prefs/preferences_store.h"
#include "speech/vocabulary.h"

namespace lumeno::app {

namespace {

constexpr OptionDoc kOptions[] = {
    {"--headless", "", "run as a service without a window (without it, Lumeno opens its window)"},
    {"--port", "N", "listen on TCP port N (default 8080)"},
    {"--bind", "ADDRESS", "listen on this local address only (default: all)"},
    {"--config-dir", "DIR", "keep settings.json in DIR (default $XDG_CONFIG_HOME/lumeno)"},
    {"--input-file", "FILE", "use a WAV file (16-bit or float, mono or stereo), looped, as the input"},
    {"--demo", "", "use the built-in speech recording as the input and stream at once"},
    {"--list-devices", "", "print the audio input devices, one a line, and exit"},
    {"--device", "NAME", "switch to the input device NAME (as listed) after starting"},
    {"--list-midi", "", "print the MIDI sources, one a line, and exit"},
    {"--learn-midi", "WHICH",
     "wait for the next Note On or Control Change on the selected MIDI\n"
     "source (--set midiEnabled=true --set selectedMIDIDevice=NAME),\n"
     "store it as the start or stop command (WHICH), and exit"},
    {"--save-qr", "FILE.png", "write the QR code of the listener address (1000x1000 PNG) and exit"},
    {"--set", "KEY=VALUE", "store a setting before starting (for example isStreaming=true)"},
    {"--transcript-dir", "DIR", "keep each session's captions in DIR\n(default $XDG_DATA_HOME/lumeno/transcripts)"},
    {"--export-transcript", "FILE", "write the newest stored transcript to FILE (.srt or .txt) and exit"},
    {"--session", "NAME", "with --export-transcript: that session instead of the newest"},
    {"--verbose", "", "log every audio chunk sent and every request served\n(normally summed up once a second)"},
    {"--help", "", "show this help and exit"},
    {"--version", "", "show the version and exit"},
};

// Where --help's descriptions start; an option too wide for the gap gets a line of its own.
constexpr std::size_t kDescriptionColumn = 24;

}  // namespace

std::span<const OptionDoc> optionTable() { return kOptions; }

std::string usageText() {
    return "Usage: lumeno [options]\n\n" + std::string(kProgramSummary) + "\n\nOptions:\n" + formatOptionRows(kOptions);
}

std::string formatOptionRows(std::span<const OptionDoc> rows) {
    std::string text;
    const std::string indent(kDescriptionColumn, ' ');
    for (const auto& option : rows) {
        std::string head = "  " + std::string(option.names);
        if (!option.argument.empty()) head += " " + std::string(option.argument);
        if (head.size() + 2 > kDescriptionColumn)
            text += head + "\n" + indent;
        else
            text += head + std::string(kDescriptionColumn - head.size(), ' ');
        for (const char c : option.description) {
            text += c;
            if (c == '\n') text += indent;
        }
        text += '\n';
    }
    return text;
}

ParseResult parseOptions(const std::vector<std::string>& args) {
    Options options;
    auto fail = [](std::string message) { return ParseResult{std::nullopt, std::move(message)}; };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.showHelp = true;
        } else if (arg == "--version") {
            options.showVersion = true;
        } else if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--port") {
            auto text = value();
            if (!text) return fail("--port needs a number");
            unsigned port = 0;
            auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), port);
            if (ec != std::errc() || end != text->data() + text->size() || port > 65535)
                return fail("--port needs a number from 0 to 65535, not '" + *text + "'");
            options.port = static_cast<std::uint16_t>(port);
        } else if (arg == "--bind") {
            auto address = value();
            if (!address || address->empty()) return fail("--bind needs an address");
            options.bindAddress = *address;
        } else if (arg == "--config-dir") {
            auto dir = value();
            if (!dir || dir->empty()) return fail("--config-dir needs a folder");
            options.configDir = *dir;
        } else if (arg == "--input-file") {
            auto file = value();
            if (!file || file->empty()) return fail("--input-file needs a WAV file");
            options.inputFile = *file;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--list-devices") {
            options.listDevices = true;
        } else if (arg == "--list-midi") {
            options.listMidi = true;
        } else if (arg == "--learn-midi") {
            auto which = value();
            if (!which || (*which != "start" && *which != "stop")) return fail("--learn-midi needs start or stop");
            options.learnMidi = *which;
        } else if (arg == "--device") {
            auto name = value();
            if (!name || name->empty()) return fail("--device needs a device name (see --list-devices)");
            options.device = *name;
        } else if (arg == "--save-qr") {
            auto file = value();
            if (!file || file->empty()) return fail("--save-qr needs a PNG file name");
            options.saveQR = *file;
        } else if (arg == "--set") {
            auto pair = value();
            const auto eq = pair ? pair->find('=') : std::string::npos;
            if (!pair || eq == std::string::npos || eq == 0) return fail("--set needs KEY=VALUE");
            options.settings.emplace_back(pair->substr(0, eq), pair->substr(eq + 1));
        } else if (arg == "--transcript-dir") {
            auto dir = value();
            if (!dir || dir->empty()) return fail("--transcript-dir needs a folder");
            options.transcriptDir = *dir;
        } else if (arg == "--export-transcript") {
            auto file = value();
            if (!file || file->empty()) return fail("--export-transcript needs a file name ending in .srt or .txt");
            options.exportTranscript = *file;
        } else if (arg == "--session") {
            auto name = value();
            if (!name || name->empty()) return fail("--session needs a session name");
            options.session = *name;
        } else {
            return fail("unknown option '" + arg + "'");
        }
    }
    if (options.demo && options.inputFile) return fail("--demo and --input-file cannot be used together");
    if (options.session && !options.exportTranscript) return fail("--session only goes with --export-transcript");
    return {options, {}};
}

bool opensWindow(const Options& options) {
    return !options.headless && !options.showHelp && !options.showVersion && !options.listDevices &&
           !options.listMidi && !options.learnMidi && !options.saveQR && !options.exportTranscript;
}

namespace {

// A --set value converted to its key's kind; absent for a string or data value that removes the key.
using Converted = std::variant<bool, double, std::optional<std::string>>;

struct Pending {
    std::string name;
    prefs::ValueKind kind;
    Converted value;
};

// The speech settings whose text has a form of its own.
std::string speechSettingError(const std::string& name, const std::string& text) {
    if (text.empty()) return {};
    if (name == prefs::key::kSpeechLanguageModel && text != "church" && text != "general")
        return name + " takes church or general, not '" + text + "'";
    if (name == prefs::key::kSpeechVocabulary) {
        if (const std::string error = speech::vocabularySettingError(text); !error.empty()) return name + ": " + error;
    }
    return {};
}

}  // namespace

std::string applySettings(prefs::PreferencesStore& store,
                          const std::vector<std::pair<std::string, std::string>>& settings) {
    std::vector<Pending> pending;
    for (const auto& [name, text] : settings) {
        const prefs::KeyInfo* info = nullptr;
        for (const auto& k : prefs::kKeyTable)
            if (name == k.name) info = &k;
        if (!info) return "unknown setting '" + name + "'";
        switch (info->kind) {
            case prefs::ValueKind::boolean:
                if (text == "true" || text == "1" || text == "yes")
                    pending.push_back({name, info->kind, true});
                else if (text == "false" || text == "0" || text == "no")
                    pending.push_back({name, info->kind, false});
                else
                    return name + " takes true or false, not '" + text + "'";
                break;
            case prefs::ValueKind::number: {
                double v = 0.0;
                auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
                if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
                    return name + " takes a number, not '" + text + "'";
                pending.push_back({name, info->kind, v});
                break;
            }
            case prefs::ValueKind::string:
            case prefs::ValueKind::data:
                if (const std::string error = speechSettingError(name, text); !error.empty()) return error;
                // An empty value removes the key, as clearing a field does.
                pending.push_back(
                    {name, info->kind, text.empty() ? std::nullopt : std::optional<std::string>(text)});
                break;
        }
    }
    for (const auto& p : pending) {
        switch (p.kind) {
            case prefs::ValueKind::boolean: store.setBool(p.name, std::get<bool>(p.value)); break;
            case prefs::ValueKind::number: store.setDouble(p.name, std::get<double>(p.value)); break;
            case prefs::ValueKind::string: store.setString(p.name, std::get<std::optional<std::string>>(p.value)); break;
            case prefs::ValueKind::data: store.setData(p.name, std::get<std::optional<std::string>>(p.value)); break;
        }
    }
    return {};
}

}  // namespace lumeno::app
