#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <string>
#include <vector>

#include "core/log.h"
#include "ui/system_colors.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QToolButton;
class QVariantAnimation;

namespace lumeno::ui {

class LevelMeter;

// Where each control sits, in the content area's coordinates, for a check box of the given
// height. The rows keep their order and spacing; the content grows just enough that the
// listener count never overlaps the address row.
struct MainLayout {
    QRect inputLabel, devicePopup, transcriptButton, levelMeter, streamButton;
    int toggleTop = 0, toggleHeight = 0;  // the two check boxes meet 10 px either side of the centre
    QRect statusLabel, addressLabel, qrButton, listenerCountLabel;
    int contentHeight = 0;  // of the root view, the 5 px above the controls included

    static MainLayout compute(int checkBoxHeight);
};

// The operator's main window: input device, level meter, stream button, the auto-gain and live
// transcription switches, status, listener address with its QR button, listener count, and the
// transcript panel that slides in at the right edge. It shows what it is told and reports what
// the operator does; it makes no decisions. Signals fire for the operator's own actions only,
// never when code sets a control. Thread: main.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    struct Device {
        std::string title;
        std::string uniqueID;
    };
    using PanelFactory = std::function<QWidget*(QWidget* parent)>;

    static constexpr int kWindowWidth = 400;
    static constexpr int kPanelWidth = 320;
    static constexpr int kSlideMilliseconds = 350;

    explicit MainWindow(core::Logger& log, QWidget* parent = nullptr);
    ~MainWindow() override;

    void setStatus(const QString& text, SystemColor color);
    void setStreamButtonTitle(const QString& title);
    void setAutoGainChecked(bool checked);
    void setSpeechChecked(bool checked);
    void setDevices(const std::vector<Device>& devices);
    void selectDevice(int index);
    void updateLevel(float level);
    void setListenerCount(const QString& text, SystemColor color);
    void setAddress(const QString& text, bool qrEnabled);
    void setTranscriptButtonTinted(bool tinted);

    // The panel's contents are made anew on every opening by the factory (an empty panel
    // without one) and destroyed when it has slid out.
    void setTranscriptPanelFactory(PanelFactory factory) { panelFactory_ = std::move(factory); }
    // Slides the panel in or out; a call while sliding turns the slide around, so the last
    // call always decides where it ends.
    void showTranscriptPanel();
    void hideTranscriptPanel();
    QWidget* transcriptPanel() const { return panel_; }
    bool transcriptPanelOpening() const { return panelTarget_; }

    LevelMeter* levelMeter() const { return levelMeter_; }
    // The full title and identifier of a pop-up item; a null title for no item.
    QString deviceTitle(int index) const;
    const std::string& deviceUniqueID(int index) const;
    // Builds the menu bar: About, Preferences, Hide, Quit; Edit; Help.
    void buildMenus();

signals:
    void streamButtonClicked();
    void autoGainClicked(bool checked);
    void speechClicked(bool checked);
    void deviceActivated(int index);
    void qrButtonClicked();
    void transcriptButtonClicked();
    void aboutRequested();
    void preferencesRequested();
    void helpRequested();
    void quitRequested();
    // Once, when the window is first on screen, with its width.
    void firstShown(double width);
    void closeRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void slideTo(bool open);
    void applyPanelProgress(double progress);
    void slideFinished();
    void editFocused(const char* slot);

    core::Logger& log_;
    QWidget* root_ = nullptr;
    QWidget* content_ = nullptr;
    QComboBox* devicePopup_ = nullptr;
    LevelMeter* levelMeter_ = nullptr;
    QPushButton* streamButton_ = nullptr;
    QCheckBox* autoGainToggle_ = nullptr;
    QCheckBox* speechToggle_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* ipLabel_ = nullptr;
    QPushButton* qrButton_ = nullptr;
    QLabel* listenerCountLabel_ = nullptr;
    QToolButton* transcriptButton_ = nullptr;
    std::vector<Device> devices_;
    int contentHeight_ = 0;

    PanelFactory panelFactory_;
    QPointer<QWidget> panelBackground_;
    QPointer<QWidget> separator_;
    QPointer<QWidget> panel_;
    QVariantAnimation* slide_ = nullptr;
    double panelProgress_ = 0.0;
    bool panelTarget_ = false;
    bool shownOnce_ = false;
};

}  // namespace lumeno::ui
