#pragma once

#include <functional>
#include <memory>

#include "core/log.h"
#include "core/main_queue.h"
#include "midi/midi_controller.h"

namespace lumeno::midi {

// The application controller's MIDI step at start-up, in one call: takes the shared controller
// (sharedController creates it on first use, so its own start-up lines follow ours), scans its
// sources 0.1 s later and logs a summary 0.2 s after that scan, and installs the three streaming
// callbacks. Each callback logs its "🎹 MIDI: ..." line and runs the given action on the main
// queue; the actions belong to the application controller and must hold it weakly themselves.
//   startStreaming: toggle streaming when it is off
//   stopStreaming:  toggle streaming when it is on
//   toggleStreaming: toggle streaming
// Thread: main.
std::shared_ptr<MIDIController> setupMIDIControl(const std::function<std::shared_ptr<MIDIController>()>& sharedController,
                                                 core::MainQueue& queue, core::Logger& log,
                                                 std::function<void()> startStreaming,
                                                 std::function<void()> stopStreaming,
                                                 std::function<void()> toggleStreaming);

}  // namespace lumeno::midi
