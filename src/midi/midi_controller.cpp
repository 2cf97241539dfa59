#include "midi/midi_controller.h"

#include <algorithm>
#include <sstream>

#include "prefs/keys.h"

namespace lumeno::midi {

using namespace std::chrono_literals;
namespace key = prefs::key;

namespace {

constexpr auto kAutoConnectDelay = 500ms;
constexpr auto kRescanDelay = 200ms;
constexpr auto kEmptyListRetryDelay = 100ms;
constexpr auto kNotFoundRetryDelay = 200ms;
constexpr auto kConnectAfterEnableDelay = 200ms;

const char* boolText(bool value) { return value ? "true" : "false"; }

// ["A", "B"], or [] for none.
std::string quotedList(const std::vector<MIDIDevice>& devices) {
    std::string text = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (i > 0) text += ", ";
        text += "\"" + devices[i].displayName + "\"";
    }
    return text + "]";
}

}  // namespace

std::shared_ptr<MIDIController> MIDIController::create(std::shared_ptr<MIDIBackend> backend, Services services) {
    std::shared_ptr<MIDIController> controller(new MIDIController(std::move(backend), services));
    // Construction steps schedule work that holds the controller weakly, so they need it shared.
    controller->initialize();
    return controller;
}

MIDIController::MIDIController(std::shared_ptr<MIDIBackend> backend, Services services)
    : backend_(std::move(backend)),
      queue_(services.mainQueue),
      notifications_(services.notifications),
      log_(services.log),
      defaults_(services.defaults) {}

MIDIController::~MIDIController() {
    pendingConnect_.cancel();
    // The back-end guarantees no callback runs after these return, so `this` is never used late.
    if (inputPort_ != 0) backend_->disposePort(inputPort_);
    if (midiClient_ != 0) backend_->disposeClient(midiClient_);
}

template <typename F>
core::TimerHandle MIDIController::after(std::chrono::milliseconds delay, F step) {
    return queue_.asyncAfter(delay, core::weakly(shared_from_this(), std::move(step)));
}

template <typename F>
void MIDIController::scheduleConnect(std::chrono::milliseconds delay, F step) {
    pendingConnect_.cancel();
    pendingConnect_ = after(delay, [step = std::move(step)](MIDIController& self) mutable {
        self.pendingConnect_ = {};  // no longer pending: a scan may reconnect on its own again
        step(self);
    });
}

void MIDIController::postLater(const char* name) {
    queue_.async(core::weakly(shared_from_this(), [name](MIDIController& self) { self.notifications_.post(name); }));
}

void MIDIController::initialize() {
    loadSettings();
    setupMIDI();
    loadLearnedCommands();
    if (isEnabled() && selectedDevice_) {
        scheduleConnect(kAutoConnectDelay, [name = *selectedDevice_](MIDIController& self) {
            self.log_.print("MIDI: Auto-connecting to saved device: ", name);
            self.connectToDevice(name);
        });
    }
    log_.print("MIDI Controller initialized with commands:");
    log_.print(startCommand_ ? "  Start: " + startCommand_->description() : std::string("  Start: Not assigned"));
    log_.print(stopCommand_ ? "  Stop: " + stopCommand_->description() : std::string("  Stop: Not assigned"));
}

void MIDIController::setupMIDI() {
    auto client = backend_->createClient(
        kMIDIClientName, [weak = weak_from_this(), &queue = queue_] {
            queue.async([weak] {
                auto self = weak.lock();
                if (!self) return;
                self->scanForDevices();
                // Posted before the rescan's own post: listeners see the change at once and the
                // new list right after.
                self->notifications_.post(kMIDIDevicesChanged);
            });
        });
    if (client.status != kMIDISuccess) {
        log_.print("Failed to create MIDI client: ", formatStatus(*backend_, client.status));
        return;
    }
    midiClient_ = client.ref;

    auto port = backend_->createInputPort(midiClient_, kMIDIInputPortName,
                                          [this](const MIDIPacketList& packets) { readPackets(packets); });
    if (port.status != kMIDISuccess) {
        log_.print("Failed to create MIDI input port: ", formatStatus(*backend_, port.status));
        return;
    }
    inputPort_ = port.ref;

    scanForDevices();
    log_.print("MIDI Controller initialized successfully");
    after(kRescanDelay, [](MIDIController& self) { self.scanForDevices(); });
}

void MIDIController::readPackets(const MIDIPacketList& packets) {
    if (!isEnabled_.load()) return;
    if (packets.empty()) return;
    processPacket(packets.front());
    if (packets.size() > 1) log_.print("MIDI: Received ", packets.size(), " packets, processing first only");
}

void MIDIController::processPacket(const MIDIPacket& packet) {
    const std::size_t length = std::min<std::size_t>(packet.length, packet.data.size());
    if (length < 3) return;
    const std::uint8_t status = packet.data[0];
    const std::uint8_t data1 = packet.data[1];
    const std::uint8_t value = packet.data[2];
    const std::uint8_t channel = status & 0x0F;

    MIDIMessageType type;
    switch (status & 0xF0) {
        case 0x90:
            if (value == 0) return;  // a Note On at velocity 0 is a release
            type = MIDIMessageType::noteOn;
            break;
        case 0xB0:
            type = MIDIMessageType::controlChange;
            break;
        default:
            return;
    }
    queue_.async([weak = weak_from_this(), type, channel, data1, value] {
        if (auto self = weak.lock()) self->handleMIDIMessage(type, channel, data1, value);
    });
}

void MIDIController::scanForDevices() {
    std::vector<MIDIDevice> devices;
    for (auto& source : backend_->sources()) {
        if (!source.name) continue;
        devices.push_back(MIDIDevice::make(source.endpoint, std::move(*source.name), std::move(source.manufacturer)));
    }
    queue_.async(core::weakly(shared_from_this(), [devices = std::move(devices)](MIDIController& self) mutable {
        self.publishDevices(std::move(devices));
    }));
}

void MIDIController::publishDevices(std::vector<MIDIDevice> devices) {
    connectedDevices_ = std::move(devices);
    // An unplugged source takes the port's subscription with it.
    if (connectedEndpoint_ && std::none_of(connectedDevices_.begin(), connectedDevices_.end(),
                                           [&](const MIDIDevice& d) { return d.endpoint == *connectedEndpoint_; }))
        connectedEndpoint_.reset();
    reconnectReturnedSource();
    notifications_.post(kMIDIDevicesChanged);
}

// The operator chose this source and MIDI is on, so a source that comes back (replugged, or
// plugged in after the start-up connection gave up) is taken again without anyone asking.
void MIDIController::reconnectReturnedSource() {
    if (!isEnabled() || !selectedDevice_ || connectedEndpoint_ || inputPort_ == 0) return;
    if (!pendingConnect_.isCancelled()) return;  // a scheduled connection will do it
    const MIDIDevice* device = findDevice(*selectedDevice_);
    if (!device) return;
    const MIDIStatus status = backend_->connectSource(inputPort_, device->endpoint);
    if (status != kMIDISuccess) {
        // The choice stays: the next scan tries again.
        log_.print("MIDI: Failed to reconnect to device ", *selectedDevice_, " with status: ",
                   formatStatus(*backend_, status));
        return;
    }
    connectedEndpoint_ = device->endpoint;
    log_.print("MIDI: Reconnected to device: ", *selectedDevice_);
    postLater(prefs::kMidiSettingsChanged);
}

const MIDIDevice* MIDIController::findDevice(const std::string& displayName) const {
    auto it = std::find_if(connectedDevices_.begin(), connectedDevices_.end(),
                           [&](const MIDIDevice& d) { return d.displayName == displayName; });
    return it == connectedDevices_.end() ? nullptr : &*it;
}

void MIDIController::connectToDevice(const std::string& displayName) { connect(displayName, false); }

// `quiet` marks the repeats of a wait for the first source to appear: waiting may last as long
// as the source stays unplugged, and logging every 0.1 s would flood the log.
void MIDIController::connect(const std::string& displayName, bool quiet) {
    pendingConnect_.cancel();
    if (!quiet) log_.print("MIDI: Attempting to connect to device: ", displayName);

    // Without a port nothing can ever connect, and waiting for sources would never end. The
    // saved choice stays, so the next start with a working MIDI system reconnects.
    if (inputPort_ == 0) {
        log_.print("MIDI: Failed to connect to device ", displayName, ": no MIDI input port");
        return;
    }

    if (connectedDevices_.empty()) {
        if (!quiet) log_.print("MIDI: No devices in list, scanning first...");
        scanForDevices();
        scheduleConnect(kEmptyListRetryDelay, [displayName](MIDIController& self) { self.connect(displayName, true); });
        return;
    }

    const MIDIDevice* device = findDevice(displayName);
    if (!device) {
        log_.print("MIDI: Device not found in connected devices: ", displayName);
        log_.print("MIDI: Available devices: ", quotedList(connectedDevices_));
        scanForDevices();
        scheduleConnect(kNotFoundRetryDelay, [displayName](MIDIController& self) {
            if (self.findDevice(displayName))
                self.connectToDevice(displayName);
            else
                self.log_.print("MIDI: Device '", displayName, "' not found after retry scan");
        });
        return;
    }

    const MIDIEndpointRef endpoint = device->endpoint;
    disconnectFromCurrentDevice();
    const MIDIStatus status = backend_->connectSource(inputPort_, endpoint);
    if (status != kMIDISuccess) {
        log_.print("MIDI: Failed to connect to device ", displayName, " with status: ",
                   formatStatus(*backend_, status));
        selectedDevice_.reset();
        saveSettings();
        return;
    }
    selectedDevice_ = displayName;
    connectedEndpoint_ = endpoint;
    saveSettings();
    log_.print("MIDI: Successfully connected to device: ", displayName);
    postLater(prefs::kMidiSettingsChanged);
}

// Unsubscribes the port from the selected source; false when no listed source is selected.
bool MIDIController::releaseSelectedSource() {
    pendingConnect_.cancel();
    const MIDIDevice* device = selectedDevice_ ? findDevice(*selectedDevice_) : nullptr;
    if (!device) {
        log_.print("MIDI: No current device to disconnect from");
        return false;
    }
    const MIDIStatus status = backend_->disconnectSource(inputPort_, device->endpoint);
    if (status == kMIDISuccess)
        log_.print("MIDI: Successfully disconnected from device: ", *selectedDevice_);
    else
        log_.print("MIDI: Failed to disconnect from device ", *selectedDevice_, " with status: ",
                   formatStatus(*backend_, status));
    connectedEndpoint_.reset();
    return true;
}

void MIDIController::disconnectFromCurrentDevice() {
    if (!releaseSelectedSource()) return;
    selectedDevice_.reset();
    saveSettings();
}

void MIDIController::setEnabledFlag(bool enabled) {
    isEnabled_.store(enabled);
    postLater(prefs::kMidiSettingsChanged);
}

void MIDIController::setEnabled(bool enabled) {
    setEnabledFlag(enabled);
    saveSettings();
    if (enabled && selectedDevice_) {
        scheduleConnect(kConnectAfterEnableDelay,
                        [name = *selectedDevice_](MIDIController& self) { self.connectToDevice(name); });
    }
    if (!enabled) releaseSelectedSource();
    log_.print(enabled ? "MIDI support enabled" : "MIDI support disabled");
}

void MIDIController::startLearning(MIDILearningState state) {
    if (state == MIDILearningState::idle) return;
    learningState_ = state;
    postLater(kMidiLearningStateChanged);
    log_.print(state == MIDILearningState::learningStart ? "MIDI: Started learning start command"
                                                         : "MIDI: Started learning stop command");
}

void MIDIController::cancelLearning() {
    learningState_ = MIDILearningState::idle;
    postLater(kMidiLearningStateChanged);
    log_.print("MIDI: Cancelled learning");
}

void MIDIController::handleMIDIMessage(MIDIMessageType type, std::uint8_t channel, std::uint8_t data1,
                                       std::uint8_t value) {
    if (learningState_ != MIDILearningState::idle) {
        learnCommand(type, channel, data1);
        return;
    }
    // Start is examined first and wins: one control learned for both only ever starts.
    if (startCommand_ && startCommand_->matches(type, channel, data1, value)) {
        log_.print("MIDI: Start streaming triggered (", startCommand_->description(), ")");
        if (onStreamingStart_) onStreamingStart_();
        return;
    }
    if (stopCommand_ && stopCommand_->matches(type, channel, data1, value)) {
        log_.print("MIDI: Stop streaming triggered (", stopCommand_->description(), ")");
        if (onStreamingStop_) onStreamingStop_();
    }
}

void MIDIController::learnCommand(MIDIMessageType type, std::uint8_t channel, std::uint8_t data1) {
    const MIDILearningState target = learningState_;
    if (target != MIDILearningState::idle) {
        const MIDICommand command = MIDICommand::learned(type, channel, data1);
        if (target == MIDILearningState::learningStart) {
            setStartCommand(command);
            log_.print("MIDI: Learned start command: ", command.description());
        } else {
            setStopCommand(command);
            log_.print("MIDI: Learned stop command: ", command.description());
        }
    }
    learningState_ = MIDILearningState::idle;
    postLater(kMidiLearningStateChanged);
}

void MIDIController::setStartCommand(std::optional<MIDICommand> command) {
    startCommand_ = std::move(command);
    if (!isLoadingCommands_) saveLearnedCommands();
}

void MIDIController::setStopCommand(std::optional<MIDICommand> command) {
    stopCommand_ = std::move(command);
    if (!isLoadingCommands_) saveLearnedCommands();
}

void MIDIController::loadSettings() {
    setEnabledFlag(defaults_.boolForKey(key::kMidiEnabled));
    selectedDevice_ = defaults_.stringForKey(key::kSelectedMIDIDevice);
}

void MIDIController::saveSettings() {
    defaults_.setBool(key::kMidiEnabled, isEnabled());
    defaults_.setString(key::kSelectedMIDIDevice, selectedDevice_);
}

void MIDIController::loadLearnedCommands() {
    log_.print("MIDI: Loading learned commands...");
    isLoadingCommands_ = true;
    auto load = [&](const char* storeKey, const char* which, void (MIDIController::*assign)(std::optional<MIDICommand>)) {
        const auto bytes = defaults_.dataForKey(storeKey);
        if (!bytes) {
            log_.print("MIDI: No ", which, " command found in UserDefaults");
            return;
        }
        auto decoded = decodeCommand(*bytes);
        if (const auto* error = std::get_if<DecodeError>(&decoded)) {
            log_.print("MIDI: Failed to decode ", which, " command: ", error->message);
            defaults_.remove(storeKey);
            return;
        }
        const auto& command = std::get<MIDICommand>(decoded);
        (this->*assign)(command);
        log_.print("MIDI: Loaded ", which, " command: ", command.description());
    };
    load(key::kMidiStartCommand, "start", &MIDIController::setStartCommand);
    load(key::kMidiStopCommand, "stop", &MIDIController::setStopCommand);
    isLoadingCommands_ = false;
}

void MIDIController::saveLearnedCommands() {
    log_.print("MIDI: Saving learned commands...");
    auto save = [&](const char* storeKey, const char* which, const std::optional<MIDICommand>& command) {
        if (command) {
            defaults_.setData(storeKey, encodeCommand(*command));
            log_.print("MIDI: Saved ", which, " command: ", command->description());
        } else {
            defaults_.remove(storeKey);
            log_.print("MIDI: Removed ", which, " command from UserDefaults");
        }
    };
    save(key::kMidiStartCommand, "start", startCommand_);
    save(key::kMidiStopCommand, "stop", stopCommand_);
    // A flush that failed must not read as success: the command would be lost at the next crash.
    if (defaults_.synchronize())
        log_.print("MIDI: UserDefaults synchronized to disk");
    else
        log_.print("MIDI: Failed to synchronize UserDefaults to disk");
}

void MIDIController::printDebugInfo() {
    log_.print("MIDI Debug: Contents of UserDefaults:");
    auto report = [&](const char* storeKey, const char* which) {
        const auto bytes = defaults_.dataForKey(storeKey);
        if (!bytes) {
            log_.print("  ", storeKey, ": No data found");
            return;
        }
        log_.print("  ", storeKey, " data exists: ", bytes->size(), " bytes");
        auto decoded = decodeCommand(*bytes);
        if (const auto* command = std::get_if<MIDICommand>(&decoded))
            log_.print("  Decoded ", which, " command: ", command->description());
        else
            log_.print("  Failed to decode ", which, " command data");
    };
    report(key::kMidiStartCommand, "start");
    report(key::kMidiStopCommand, "stop");
    log_.print("  Current in-memory commands:");
    log_.print("    Start: ", startCommand_ ? startCommand_->description() : std::string("nil"));
    log_.print("    Stop: ", stopCommand_ ? stopCommand_->description() : std::string("nil"));
    log_.print("  Connection status:");
    log_.print("    MIDI enabled: ", boolText(isEnabled()));
    log_.print("    Selected device: ", selectedDevice_.value_or("none"));
    log_.print("    Connected devices: ", connectedDevices_.size());
    log_.print("    Receiving MIDI input: ", boolText(selectedDevice_.has_value() && isEnabled()));
}

}  // namespace lumeno::midi
