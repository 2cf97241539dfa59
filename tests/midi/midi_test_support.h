#pragma once

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/notification_center.h"
#include "fake_midi_backend.h"
#include "fakes/capture_logger.h"
#include "fakes/virtual_main_queue.h"
#include "midi/midi_controller.h"
#include "prefs/preferences_store.h"
#include "support/temp_dir.h"

namespace lumeno::testing {


// A controller on the fake back-end, a virtual clock and an in-memory store (or a file-backed
// one, for tests of the flush), with every notification recorded.
class MIDIHarness {
public:
    struct Post {
        std::string name;
        std::size_t listedDevices;  // connectedDevices().size() when it was posted
    };

    MIDIHarness() : defaults_(std::make_unique<prefs::PreferencesStore>(log_)) {
        for (const char* name : {midi::kMIDIDevicesChanged, midi::kMidiLearningStateChanged, "midiSettingsChanged"})
            notifications_.addObserver(name, [this](const core::Notification& n) {
                posts_.push_back({n.name, controller_ ? controller_->connectedDevices().size() : 0});
            });
    }

    void useSettingsFile(const std::filesystem::path& file) {
        defaults_ = std::make_unique<prefs::PreferencesStore>(file, log_, std::chrono::milliseconds(0));
    }

    midi::MIDIController& make() {
        controller_ = midi::MIDIController::create(backend_, {queue_, notifications_, log_, *defaults_});
        return *controller_;
    }

    int postCount(const std::string& name) const {
        int n = 0;
        for (const auto& p : posts_) n += p.name == name;
        return n;
    }

    VirtualMainQueue queue_;
    CaptureLogger log_;
    core::NotificationCenter notifications_;
    std::unique_ptr<prefs::PreferencesStore> defaults_;
    std::shared_ptr<FakeMIDIBackend> backend_ = std::make_shared<FakeMIDIBackend>();
    std::vector<Post> posts_;
    std::shared_ptr<midi::MIDIController> controller_;
};

}  // namespace lumeno::testing
