#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumeno::app {

enum class LabelColor { systemOrange, systemGreen, systemRed, secondaryLabel };
enum class AlertStyle { warning, informational };

struct Alert {
    AlertStyle style = AlertStyle::informational;
    std::string messageText;
    std::string informativeText;  // may span lines
    bool operator==(const Alert&) const = default;
};

// One item of the input device pop-up. Two devices may share a title; the identifier tells them apart.
struct DeviceItem {
    std::string title;
    std::string uniqueID;
    bool operator==(const DeviceItem&) const = default;
};

// What every run shows, with a window or without: the status line and alerts. Thread: main.
class StatusView {
public:
    virtual ~StatusView() = default;
    virtual void setStatus(const std::string& text, LabelColor color) = 0;
    // Modal, one "OK" button.
    virtual void showAlert(const Alert& alert) = 0;
};

// The window's controls as the controller drives them; a headless run has none. Thread: main.
class ControlsView {
public:
    using DestinationChosen = std::function<void(std::optional<std::filesystem::path>)>;

    virtual ~ControlsView() = default;
    virtual void setStreamButtonTitle(const std::string& title) = 0;
    virtual void setAutoGainChecked(bool checked) = 0;
    virtual void setSpeechChecked(bool checked) = 0;
    virtual void setDeviceItems(const std::vector<DeviceItem>& items) = 0;
    virtual void selectDeviceItem(std::size_t index) = 0;
    virtual void updateLevel(float level) = 0;
    virtual void setListenerCount(const std::string& text, LabelColor color) = 0;
    virtual void setDockBadge(const std::string& label) = 0;  // empty: no badge
    // The listener address line and whether the QR button can be used.
    virtual void setAddress(const std::string& text, bool qrEnabled) = 0;
    virtual void setTranscriptButtonTinted(bool tinted) = 0;
    virtual void showTranscriptPanel() = 0;
    virtual void hideTranscriptPanel() = 0;
    virtual void addTranscription(const std::string& text, bool isFinal) = 0;
    // Asks where to save the QR code; nothing when the operator cancels.
    virtual void chooseQRCodeDestination(DestinationChosen done) = 0;
};

// The operator's window: both parts in one.
class MainView : public StatusView, public ControlsView {};

}  // namespace lumeno::app
