#include "midi/midi_control_setup.h"

namespace lumeno::midi {

using namespace std::chrono_literals;

namespace {

std::function<void()> onMain(core::MainQueue& queue, core::Logger& log, const char* line,
                             std::function<void()> action) {
    return [&queue, &log, line, action = std::move(action)] {
        queue.async([&log, line, action] {
            log.print(line);
            if (action) action();
        });
    };
}

}  // namespace

std::shared_ptr<MIDIController> setupMIDIControl(const std::function<std::shared_ptr<MIDIController>()>& sharedController,
                                                 core::MainQueue& queue, core::Logger& log,
                                                 std::function<void()> startStreaming,
                                                 std::function<void()> stopStreaming,
                                                 std::function<void()> toggleStreaming) {
    log.print("🎹 Setting up MIDI control...");
    auto controller = sharedController();

    queue.asyncAfter(100ms, core::weakly(controller, [&queue, &log](MIDIController& midi) {
        midi.scanForDevices();
        queue.asyncAfter(200ms, core::weakly(midi.shared_from_this(), [&log](MIDIController& m) {
            log.print("🎹 MIDI enabled: ", m.isEnabled() ? "true" : "false");
            log.print("🎹 Selected device: ", m.selectedDevice().value_or("none"));
            log.print("🎹 Connected devices: ", m.connectedDevices().size());
            for (const auto& device : m.connectedDevices()) log.print("   - ", device.displayName);
        }));
    }));

    controller->setOnStreamingStart(
        onMain(queue, log, "🎹 MIDI: Start streaming command received", std::move(startStreaming)));
    controller->setOnStreamingStop(
        onMain(queue, log, "🎹 MIDI: Stop streaming command received", std::move(stopStreaming)));
    controller->setOnStreamingToggle(
        onMain(queue, log, "🎹 MIDI: Toggle streaming command received", std::move(toggleStreaming)));

    log.print("✅ MIDI control setup complete");
    return controller;
}

}  // namespace lumeno::midi
