#pragma once

#include <QPointer>
#include <memory>

#include "app/main_view.h"
#include "core/log.h"

namespace lumeno::ui {
class MainWindow;
class LauncherBadge;
}  // namespace lumeno::ui

namespace lumeno::app {

class ViewController;

// The controller's view on top of the Qt main window: the one place that knows both. It turns
// the controller's calls into widget changes and the operator's actions into controller calls.
// Calls that arrive after the window is gone do nothing. Thread: main.
class QtMainView final : public MainView {
public:
    QtMainView(ui::MainWindow& window, core::Logger& log);
    ~QtMainView() override;

    // Wires the window's controls to the controller's actions; the controller is held weakly.
    void attach(const std::shared_ptr<ViewController>& controller);

    void setStatus(const std::string& text, LabelColor color) override;
    void showAlert(const Alert& alert) override;
    void setStreamButtonTitle(const std::string& title) override;
    void setAutoGainChecked(bool checked) override;
    void setSpeechChecked(bool checked) override;
    void setDeviceItems(const std::vector<DeviceItem>& items) override;
    void selectDeviceItem(std::size_t index) override;
    void updateLevel(float level) override;
    void setListenerCount(const std::string& text, LabelColor color) override;
    void setDockBadge(const std::string& label) override;
    void setAddress(const std::string& text, bool qrEnabled) override;
    void setTranscriptButtonTinted(bool tinted) override;
    void showTranscriptPanel() override;
    void hideTranscriptPanel() override;
    void addTranscription(const std::string& text, bool isFinal) override;
    void chooseQRCodeDestination(DestinationChosen done) override;

private:
    QPointer<ui::MainWindow> window_;
    core::Logger& log_;
    std::unique_ptr<ui::LauncherBadge> badge_;
};

}  // namespace lumeno::app
