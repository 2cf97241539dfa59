#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/notification_center.h"
#include "fake_midi_backend.h"
#include "fakes/capture_logger.h"
#include "fakes/virtual_main_queue.h"
#include "midi/midi_controller.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"

namespace lumeno::testing {

// A controller on the fake back-end, a virtual clock and an in-memory store.
class MIDIHarness {
public:
    void storeEnabledDevice(const std::optional<std::string>& name, bool enabled = true) {
        defaults_->setBool(prefs::key::kMidiEnabled, enabled);
        defaults_->setString(prefs::key::kSelectedMIDIDevice, name);
    }
    midi::MIDIController& make() {
        controller_ = midi::MIDIController::create(backend_, {queue_, notifications_, log_, *defaults_});
        return *controller_;
    }

    VirtualMainQueue queue_;
    CaptureLogger log_;
    core::NotificationCenter notifications_;
    std::unique_ptr<prefs::PreferencesStore> defaults_ = std::make_unique<prefs::PreferencesStore>(log_);
    std::shared_ptr<FakeMIDIBackend> backend_ = std::make_shared<FakeMIDIBackend>();
    std::shared_ptr<midi::MIDIController> controller_;
};

}  // namespace lumeno::testing
