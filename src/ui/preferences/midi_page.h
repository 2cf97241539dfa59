#pragma once

#include "ui/preferences/preferences_page.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace lumeno::ui {

// MIDI remote control: the switch, the source, and learning the start and stop commands. The
// controller owns every setting; the page shows its state and follows its notifications.
class MIDIPage final : public PreferencesPage {
public:
    explicit MIDIPage(PreferencesServices services);

    QString identifier() const override { return QStringLiteral("midi"); }
    QString title() const override { return QStringLiteral("MIDI"); }
    void load() override;

    void updateMIDIDeviceList();
    void midiLearningStateChanged();
    void midiEnabledChanged();
    void midiDeviceChanged();
    void clearStartCommand();
    void clearStopCommand();
    void updateCommandLabels();
    void updateLearningDisplay();
    void updateUIState();

    QCheckBox* midiEnabledCheckbox() const { return midiEnabledCheckbox_; }
    QComboBox* midiDevicePopup() const { return midiDevicePopup_; }
    QLabel* startCommandLabel() const { return startCommandLabel_; }
    QPushButton* startLearnButton() const { return startLearnButton_; }
    QPushButton* startClearButton() const { return startClearButton_; }
    QLabel* stopCommandLabel() const { return stopCommandLabel_; }
    QPushButton* stopLearnButton() const { return stopLearnButton_; }
    QPushButton* stopClearButton() const { return stopClearButton_; }
    QLabel* learningStatusLabel() const { return learningStatusLabel_; }
    QLabel* midiInstructionsLabel() const { return midiInstructionsLabel_; }

private:
    enum class LearnAction { learnStart, learnStop, cancel };
    void learnButtonClicked(LearnAction action);
    bool selectedSourceListed() const;

    QCheckBox* midiEnabledCheckbox_;
    QComboBox* midiDevicePopup_;
    QLabel* midiInstructionsLabel_;
    QLabel* startCommandLabel_;
    QPushButton* startLearnButton_;
    QPushButton* startClearButton_;
    QLabel* stopCommandLabel_;
    QPushButton* stopLearnButton_;
    QPushButton* stopClearButton_;
    QLabel* learningStatusLabel_;
    // What each "Learn" button does when pressed: learn its command, or cancel learning.
    LearnAction startAction_ = LearnAction::learnStart;
    LearnAction stopAction_ = LearnAction::learnStop;
    // Shown in the status line while idle: why the last learning ended without a command.
    QString learningNotice_;
};

}  // namespace lumeno::ui
