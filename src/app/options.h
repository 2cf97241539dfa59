#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumeno::prefs {
class PreferencesStore;
}

namespace lumeno::app {

// The command line of the lumeno binary.
struct Options {
    std::uint16_t port = 8080;
    std::string bindAddress = "0.0.0.0";
    std::optional<std::string> configDir;
    std::optional<std::string> inputFile;  // a WAV played as the input instead of the sound server
    bool demo = false;                     // the built-in recording as the input, streaming from the start
    bool listDevices = false;
    bool listMidi = false;
    std::optional<std::string> learnMidi;  // "start" or "stop": learn that command and exit
    std::optional<std::string> device;  // chosen as in the window's device menu, after startup
    bool headless = false;
    std::optional<std::string> saveQR;  // write the listener address's QR code there and exit
    bool showHelp = false;
    bool showVersion = false;
    std::vector<std::pair<std::string, std::string>> settings;  // --set KEY=VALUE, in order
    std::optional<std::string> transcriptDir;     // where each session's captions are kept
    std::optional<std::string> exportTranscript;  // write a stored transcript to this .srt or .txt and exit
    std::optional<std::string> session;           // which stored session --export-transcript writes
    bool verbose = false;  // every per-chunk and per-request line instead of one summary a second
};

// Whether these options open the window. Options that print and exit, learning a MIDI command
// and --headless run without one, so they need no display.
bool opensWindow(const Options& options);

struct ParseResult {
    std::optional<Options> options;
    std::string error;  // set when options is absent
};

ParseResult parseOptions(const std::vector<std::string>& args);

// One option as the reference describes it. --help and the manual page are both made from
// these rows, so they cannot disagree; an option added to parseOptions gets a row here.
struct OptionDoc {
    std::string_view names;        // "--help" or "--help, -h"
    std::string_view argument;     // "N", "FILE.png"; empty for a switch
    std::string_view description;  // '\n' marks where --help breaks the line
};

// What the program does, in one line: under --help's usage line and first in the manual.
inline constexpr std::string_view kProgramSummary =
    "Assistive listening: streams an audio input to listeners' phones at http://<address>:PORT/listen";

std::span<const OptionDoc> optionTable();
std::string usageText();
// The option lines of --help for these rows.
std::string formatOptionRows(std::span<const OptionDoc> rows);

// Stores each --set value with its key's kind. All values are checked before the first is
// written, so a refused command line leaves the settings as they were. Returns an error
// message, empty on success.
std::string applySettings(prefs::PreferencesStore& store,
                          const std::vector<std::pair<std::string, std::string>>& settings);

}  // namespace lumeno::app
