#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string_view>

#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "midi/midi_backend.h"
#include "midi/midi_controller.h"

namespace lumeno::midi {

// --list-midi: writes the display name of every MIDI source to `out`, one per line, in source
// order. Returns the exit status: 0, or 1 when the MIDI system cannot be opened (logged).
int listMIDISources(MIDIBackend& backend, std::ostream& out, core::Logger& log);

// "start" or "stop" as given to --learn-midi.
std::optional<MIDILearningState> learnTargetFromName(std::string_view name);

// --learn-midi: arms learning on the controller and waits on the main queue for the next Note On
// or Control Change from the selected source (the controller connects to it by itself when MIDI
// is enabled), which the controller stores and flushes. `finished` runs once on the main queue
// with the exit status: 0 when learned; 1 when MIDI is off, no source is selected, there is no
// input port, or nothing arrived within `timeout` (learning is then cancelled).
void learnMIDICommand(const std::shared_ptr<MIDIController>& controller, MIDILearningState target,
                      core::MainQueue& queue, core::NotificationCenter& notifications, core::Logger& log,
                      std::chrono::milliseconds timeout, std::function<void(int status)> finished);

}  // namespace lumeno::midi
