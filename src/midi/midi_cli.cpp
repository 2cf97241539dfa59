#include "midi/midi_cli.h"

namespace lumeno::midi {

int listMIDISources(MIDIBackend& backend, std::ostream& out, core::Logger& log) {
    // Listing needs no callbacks: nothing is received and nothing is kept.
    const auto client = backend.createClient(kMIDIClientName, {});
    if (client.status != kMIDISuccess) {
        log.print("Failed to create MIDI client: ", formatStatus(backend, client.status));
        return 1;
    }
    int listed = 0;
    for (auto& source : backend.sources()) {
        if (!source.name) continue;
        out << MIDIDevice::make(source.endpoint, std::move(*source.name), std::move(source.manufacturer)).displayName
            << '\n';
        ++listed;
    }
    out.flush();
    backend.disposeClient(client.ref);
    if (listed == 0) log.print("MIDI: No MIDI sources found");
    return 0;
}

std::optional<MIDILearningState> learnTargetFromName(std::string_view name) {
    if (name == "start") return MIDILearningState::learningStart;
    if (name == "stop") return MIDILearningState::learningStop;
    return std::nullopt;
}

void learnMIDICommand(const std::shared_ptr<MIDIController>& controller, MIDILearningState target,
                      core::MainQueue& queue, core::NotificationCenter& notifications, core::Logger& log,
                      std::chrono::milliseconds timeout, std::function<void(int status)> finished) {
    auto finishLater = [&queue, finished](int status) { queue.async([finished, status] { finished(status); }); };
    if (target == MIDILearningState::idle) {
        log.print("MIDI: Cannot learn: say start or stop");
        return finishLater(1);
    }
    if (!controller->isEnabled()) {
        log.print("MIDI: Cannot learn: MIDI control is off (set midiEnabled=true)");
        return finishLater(1);
    }
    if (!controller->selectedDevice()) {
        log.print("MIDI: Cannot learn: no MIDI source selected (set selectedMIDIDevice=NAME)");
        return finishLater(1);
    }
    if (controller->inputPort() == 0) {
        log.print("MIDI: Cannot learn: no MIDI input port");
        return finishLater(1);
    }

    struct Session {
        core::ObserverToken observer = 0;
        core::TimerHandle timeout;
        bool done = false;
    };
    auto session = std::make_shared<Session>();
    const bool learningStart = target == MIDILearningState::learningStart;
    std::weak_ptr<MIDIController> weak = controller;

    // Learning ends in idle; the notification that armed it is ignored.
    session->observer = notifications.addObserver(
        kMidiLearningStateChanged, [session, weak, learningStart, finished, &notifications](const core::Notification&) {
            auto midi = weak.lock();
            if (session->done || !midi || midi->learningState() != MIDILearningState::idle) return;
            session->done = true;
            session->timeout.cancel();
            notifications.removeObserver(session->observer);
            const bool learned = learningStart ? midi->startCommand().has_value() : midi->stopCommand().has_value();
            finished(learned ? 0 : 1);
        });
    session->timeout = queue.asyncAfter(timeout, [session, weak, finished, timeout, &notifications, &log] {
        if (session->done) return;
        session->done = true;
        notifications.removeObserver(session->observer);
        if (auto midi = weak.lock()) midi->cancelLearning();
        log.print("MIDI: Nothing learned: no MIDI input within ", core::formatDecimal(timeout.count() / 1000.0), " s");
        finished(1);
    });

    controller->startLearning(target);
    log.print(learningStart ? "MIDI: Waiting for MIDI input to assign as Start command..."
                            : "MIDI: Waiting for MIDI input to assign as Stop command...");
}

}  // namespace lumeno::midi
