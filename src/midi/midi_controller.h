#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "midi/midi_backend.h"
#include "midi/midi_command.h"
#include "midi/midi_device.h"
#include "prefs/preferences_store.h"

namespace lumeno::midi {

inline constexpr const char* kMIDIDevicesChanged = "MIDIDevicesChanged";
inline constexpr const char* kMidiLearningStateChanged = "midiLearningStateChanged";
inline constexpr const char* kMIDIClientName = "Lumeno MIDI Client";
inline constexpr const char* kMIDIInputPortName = "Lumeno Input Port";

// Lets a MIDI source start and stop streaming: opens a client and one input port, lists the
// sources, connects the port to the one the operator chose, and either learns a start or stop
// command from the next message or fires the matching callback. Persists its settings and the
// learned commands in the preferences store.
//
// One per process, made by the composition root and shared. Thread: main, except the back-end's
// read callback and processPacket, which run on the MIDI receive thread and read only the
// enabled flag.
class MIDIController : public std::enable_shared_from_this<MIDIController> {
public:
    struct Services {
        core::MainQueue& mainQueue;
        core::NotificationCenter& notifications;
        core::Logger& log;
        prefs::PreferencesStore& defaults;
    };

    // Loads the settings, opens the client and port, scans, loads the learned commands and, when
    // MIDI is on with a saved source, connects to it 0.5 s later.
    static std::shared_ptr<MIDIController> create(std::shared_ptr<MIDIBackend> backend, Services services);
    ~MIDIController();  // disposes the port, then the client
    MIDIController(const MIDIController&) = delete;
    MIDIController& operator=(const MIDIController&) = delete;

    // Enumerates now; publishes connectedDevices and posts "MIDIDevicesChanged" on the main queue.
    void scanForDevices();
    void connectToDevice(const std::string& displayName);
    // Disconnects and forgets the selected source.
    void disconnectFromCurrentDevice();
    // Off disconnects the port but keeps the selected source, so switching on again reconnects.
    void setEnabled(bool enabled);
    void startLearning(MIDILearningState state);
    void cancelLearning();
    void handleMIDIMessage(MIDIMessageType type, std::uint8_t channel, std::uint8_t data1, std::uint8_t value);
    void learnCommand(MIDIMessageType type, std::uint8_t channel, std::uint8_t data1);
    // Receive thread: parses the first message of one packet and hands it to the main queue.
    void processPacket(const MIDIPacket& packet);
    void loadSettings();
    void saveSettings();
    void loadLearnedCommands();
    void saveLearnedCommands();
    void printDebugInfo();

    MIDIClientRef midiClient() const { return midiClient_; }
    MIDIPortRef inputPort() const { return inputPort_; }
    bool isEnabled() const { return isEnabled_.load(); }
    const std::vector<MIDIDevice>& connectedDevices() const { return connectedDevices_; }
    const std::optional<std::string>& selectedDevice() const { return selectedDevice_; }
    MIDILearningState learningState() const { return learningState_; }
    const std::optional<MIDICommand>& startCommand() const { return startCommand_; }
    const std::optional<MIDICommand>& stopCommand() const { return stopCommand_; }
    // Assigning, none included, saves both commands and flushes the store (except while loading).
    void setStartCommand(std::optional<MIDICommand> command);
    void setStopCommand(std::optional<MIDICommand> command);

    void setOnStreamingStart(std::function<void()> callback) { onStreamingStart_ = std::move(callback); }
    void setOnStreamingStop(std::function<void()> callback) { onStreamingStop_ = std::move(callback); }
    // Held for the application controller; no MIDI event calls it.
    void setOnStreamingToggle(std::function<void()> callback) { onStreamingToggle_ = std::move(callback); }
    const std::function<void()>& onStreamingToggle() const { return onStreamingToggle_; }

private:
    MIDIController(std::shared_ptr<MIDIBackend> backend, Services services);
    void initialize();
    void setupMIDI();
    void setEnabledFlag(bool enabled);
    void readPackets(const MIDIPacketList& packets);
    void connect(const std::string& displayName, bool quiet);
    bool releaseSelectedSource();
    void publishDevices(std::vector<MIDIDevice> devices);
    void reconnectReturnedSource();
    const MIDIDevice* findDevice(const std::string& displayName) const;
    void postLater(const char* name);
    template <typename F>
    core::TimerHandle after(std::chrono::milliseconds delay, F step);
    template <typename F>
    void scheduleConnect(std::chrono::milliseconds delay, F step);

    std::shared_ptr<MIDIBackend> backend_;
    core::MainQueue& queue_;
    core::NotificationCenter& notifications_;
    core::Logger& log_;
    prefs::PreferencesStore& defaults_;

    MIDIClientRef midiClient_ = 0;
    MIDIPortRef inputPort_ = 0;
    std::atomic<bool> isEnabled_{false};
    std::vector<MIDIDevice> connectedDevices_;
    std::optional<std::string> selectedDevice_;
    // The source the port is subscribed to now. Unlike selectedDevice_, it is forgotten when the
    // source disappears from a scan, so a replugged source can be told apart and reconnected.
    std::optional<MIDIEndpointRef> connectedEndpoint_;
    MIDILearningState learningState_ = MIDILearningState::idle;
    std::optional<MIDICommand> startCommand_;
    std::optional<MIDICommand> stopCommand_;
    bool isLoadingCommands_ = false;
    std::function<void()> onStreamingStart_;
    std::function<void()> onStreamingStop_;
    std::function<void()> onStreamingToggle_;

    // The one connection still scheduled (auto-connect, a retry, or the connect after enabling).
    // A newer connect, a disconnect or disabling cancels it, so a late retry never overrides
    // what the operator did since.
    core::TimerHandle pendingConnect_;
};

}  // namespace lumeno::midi
