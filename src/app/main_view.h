#pragma once

#include <cstddef>
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

// The operator's window as the controller drives it: the Qt window, the headless log view, or a
// recording fake in tests. Thread: main.
class MainView {
public:
    virtual ~MainView() = default;

    virtual void setStatus(const std::string& text, LabelColor color) = 0;
    virtual void setStreamButtonTitle(const std::string& title) = 0;
    virtual void setAutoGainChecked(bool checked) = 0;
    virtual void setDeviceItems(const std::vector<std::string>& titles) = 0;
    virtual void selectDeviceItem(std::size_t index) = 0;
    virtual void updateLevel(float level) = 0;
    virtual void setListenerCount(const std::string& text, LabelColor color) = 0;
    virtual void setDockBadge(const std::string& label) = 0;  // empty: no badge
    virtual void setTranscriptButtonTinted(bool tinted) = 0;
    virtual void showTranscriptPanel() = 0;
    // The live transcription switch and the transcript panel; a view without them (headless)
    // ignores both.
    virtual void setSpeechChecked(bool) {}
    virtual void addTranscription(const std::string&, bool) {}
    // Modal, one "OK" button.
    virtual void showAlert(const Alert& alert) = 0;
};

}  // namespace lumeno::app
