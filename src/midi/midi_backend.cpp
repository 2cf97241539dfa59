#include "midi/midi_backend.h"

namespace lumeno::midi {

std::string formatStatus(const MIDIBackend& backend, MIDIStatus status) {
    std::string text = std::to_string(status);
    if (const std::string words = backend.statusText(status); !words.empty()) text += " (" + words + ")";
    return text;
}

}  // namespace lumeno::midi
