#include "ui/preferences/midi_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

#include "ui/preferences/page_style.h"

namespace lumeno::ui {

using namespace std::chrono_literals;
using midi::MIDILearningState;

namespace {

constexpr const char* kNoDevice = "No device selected";

const char* boolText(bool value) { return value ? "true" : "false"; }

}  // namespace

MIDIPage::MIDIPage(PreferencesServices services) : PreferencesPage(services) {
    midiEnabledCheckbox_ = new QCheckBox(QStringLiteral("Enable MIDI control for streaming"), this);
    midiDevicePopup_ = new QComboBox(this);
    midiInstructionsLabel_ = style::noteLabel(
        QStringLiteral("To assign MIDI commands:\n1. Connect your MIDI device and select it above\n2. Click \"Learn\" "
                       "for the command you want to assign  \n3. Press/move the MIDI control you want to use\n\n"
                       "Supports Control Change (CC) messages and Note On messages.\nWorks with USB, Bluetooth, and "
                       "network MIDI devices."),
        10, this);
    startCommandLabel_ = new QLabel(QStringLiteral("Not assigned"), this);
    startLearnButton_ = new QPushButton(QStringLiteral("Learn"), this);
    startClearButton_ = new QPushButton(QStringLiteral("Clear"), this);
    stopCommandLabel_ = new QLabel(QStringLiteral("Not assigned"), this);
    stopLearnButton_ = new QPushButton(QStringLiteral("Learn"), this);
    stopClearButton_ = new QPushButton(QStringLiteral("Clear"), this);
    learningStatusLabel_ = new QLabel(this);
    learningStatusLabel_->setFont(style::scaledFont(learningStatusLabel_->font(), 11));
    learningStatusLabel_->setWordWrap(true);
    style::setTextColor(learningStatusLabel_, style::kBlue);
    learningStatusLabel_->hide();
    style::setTextColor(startCommandLabel_, style::kSecondary);
    style::setTextColor(stopCommandLabel_, style::kSecondary);
    midiDevicePopup_->setMinimumWidth(260);

    auto* deviceRow = new QHBoxLayout;
    deviceRow->addWidget(new QLabel(QStringLiteral("MIDI Device:"), this));
    deviceRow->addWidget(midiDevicePopup_);
    deviceRow->addStretch();

    auto* commands = new QGridLayout;
    commands->addWidget(new QLabel(QStringLiteral("Start Command:"), this), 0, 0);
    commands->addWidget(startCommandLabel_, 0, 1);
    commands->addWidget(startLearnButton_, 0, 2);
    commands->addWidget(startClearButton_, 0, 3);
    commands->addWidget(new QLabel(QStringLiteral("Stop Command:"), this), 1, 0);
    commands->addWidget(stopCommandLabel_, 1, 1);
    commands->addWidget(stopLearnButton_, 1, 2);
    commands->addWidget(stopClearButton_, 1, 3);
    commands->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(midiEnabledCheckbox_);
    layout->addLayout(deviceRow);
    layout->addSpacing(8);
    layout->addWidget(style::sectionLabel(QStringLiteral("Commands"), this));
    layout->addLayout(commands);
    layout->addWidget(learningStatusLabel_);
    layout->addWidget(midiInstructionsLabel_);
    layout->addStretch();

    connect(midiEnabledCheckbox_, &QCheckBox::clicked, this, [this] { midiEnabledChanged(); });
    connect(midiDevicePopup_, &QComboBox::activated, this, [this] { midiDeviceChanged(); });
    connect(startLearnButton_, &QPushButton::clicked, this, [this] { learnButtonClicked(startAction_); });
    connect(stopLearnButton_, &QPushButton::clicked, this, [this] { learnButtonClicked(stopAction_); });
    connect(startClearButton_, &QPushButton::clicked, this, [this] { clearStartCommand(); });
    connect(stopClearButton_, &QPushButton::clicked, this, [this] { clearStopCommand(); });
}

void MIDIPage::load() {
    auto& midi = *services_.midi;
    midiEnabledCheckbox_->setChecked(midi.isEnabled());
    services_.log.print("🎹 Preferences loaded - refreshing MIDI devices...");
    midi.scanForDevices();
    later(200ms, this, [](MIDIPage& page) {
        page.updateMIDIDeviceList();
        page.updateUIState();
    });
    midi.printDebugInfo();
    updateCommandLabels();
    updateLearningDisplay();

    observe(midi::kMIDIDevicesChanged, [this] { updateMIDIDeviceList(); });
    observe(midi::kMidiLearningStateChanged, [this] { midiLearningStateChanged(); });
    midi.scanForDevices();
}

bool MIDIPage::selectedSourceListed() const {
    const auto& midi = *services_.midi;
    if (!midi.selectedDevice()) return false;
    const auto& devices = midi.connectedDevices();
    return std::any_of(devices.begin(), devices.end(),
                       [&](const midi::MIDIDevice& d) { return d.displayName == *midi.selectedDevice(); });
}

void MIDIPage::updateMIDIDeviceList() {
    auto& midi = *services_.midi;
    auto& log = services_.log;
    log.print("🎹 Updating MIDI device list...");
    midiDevicePopup_->clear();
    midiDevicePopup_->addItem(QString::fromUtf8(kNoDevice));
    log.print("🎹 Found ", midi.connectedDevices().size(), " devices:");
    for (const auto& device : midi.connectedDevices()) {
        log.print("   - ", device.displayName);
        midiDevicePopup_->addItem(QString::fromStdString(device.displayName));
    }

    // The source went away while waiting for its message: nothing more can come from it.
    if (midi.learningState() != MIDILearningState::idle && !selectedSourceListed()) {
        learningNotice_ = QStringLiteral("Learning cancelled: %1 is no longer connected")
                              .arg(QString::fromStdString(midi.selectedDevice().value_or("the device")));
        midi.cancelLearning();
    }

    if (!midi.selectedDevice()) {
        midiDevicePopup_->setCurrentIndex(0);
        updateUIState();
        return;
    }
    const std::string name = *midi.selectedDevice();
    log.print("🎹 Restoring selection: ", name);
    const QString title = QString::fromStdString(name);
    int index = midiDevicePopup_->findText(title, Qt::MatchExactly);
    if (index < 0) {
        // Unplugged: shown, so the operator sees what will be reconnected, but not choosable.
        midiDevicePopup_->addItem(title);
        index = midiDevicePopup_->count() - 1;
        if (auto* model = qobject_cast<QStandardItemModel*>(midiDevicePopup_->model()))
            model->item(index)->setEnabled(false);
    }
    midiDevicePopup_->setCurrentIndex(index);
    // Only a listed source can be connected, and only an enabled one needs to be; asking for
    // an unlisted one would rescan, which comes back here and asks again without end.
    if (midi.isEnabled() && selectedSourceListed()) {
        later(100ms, this, [name](MIDIPage& page) {
            // The list may have changed meanwhile (a source unplugged); connecting to a
            // missing source would start a wait that rescans every 0.1 s.
            if (!page.selectedSourceListed()) return;
            page.services_.log.print("MIDI: UI triggering connection to ensure device is connected");
            page.services_.midi->connectToDevice(name);
        });
    }
    updateUIState();
}

void MIDIPage::midiLearningStateChanged() {
    updateLearningDisplay();
    updateCommandLabels();
}

void MIDIPage::midiEnabledChanged() {
    const bool enabled = midiEnabledCheckbox_->isChecked();
    services_.log.print("🎹 MIDI enabled changed to: ", boolText(enabled));
    services_.midi->setEnabled(enabled);
    updateUIState();
    if (!enabled) return;
    services_.log.print("🎹 MIDI enabled - scanning for devices...");
    services_.midi->scanForDevices();
    later(300ms, this, [](MIDIPage& page) { page.updateMIDIDeviceList(); });
}

void MIDIPage::midiDeviceChanged() {
    const QString title = midiDevicePopup_->currentText();
    services_.log.print("🎹 MIDI device changed to: '", title.toStdString(), "'");
    if (title.isEmpty() || title == QString::fromUtf8(kNoDevice)) {
        services_.log.print("🎹 Disconnecting from current device");
        services_.midi->disconnectFromCurrentDevice();
        updateUIState();
        return;
    }
    services_.log.print("🎹 Attempting to connect to device...");
    services_.midi->connectToDevice(title.toStdString());
    later(200ms, this, [](MIDIPage& page) {
        auto& midi = *page.services_.midi;
        auto& log = page.services_.log;
        log.print("🎹 Updating UI after device connection attempt");
        log.print("🎹 Selected device: ", midi.selectedDevice().value_or("nil"));
        log.print("🎹 MIDI enabled: ", boolText(midi.isEnabled()));
        page.updateUIState();
    });
}

void MIDIPage::learnButtonClicked(LearnAction action) {
    switch (action) {
        case LearnAction::learnStart:
            learningNotice_.clear();
            services_.midi->startLearning(MIDILearningState::learningStart);
            break;
        case LearnAction::learnStop:
            learningNotice_.clear();
            services_.midi->startLearning(MIDILearningState::learningStop);
            break;
        case LearnAction::cancel:
            services_.midi->cancelLearning();
            break;
    }
}

void MIDIPage::clearStartCommand() {
    services_.midi->setStartCommand(std::nullopt);
    services_.log.print("MIDI: Cleared start command");
    updateCommandLabels();
}

void MIDIPage::clearStopCommand() {
    services_.midi->setStopCommand(std::nullopt);
    services_.log.print("MIDI: Cleared stop command");
    updateCommandLabels();
}

void MIDIPage::updateCommandLabels() {
    const auto show = [](QLabel* label, QPushButton* clear, const std::optional<midi::MIDICommand>& command) {
        if (command) {
            label->setText(QString::fromStdString(command->description()));
            style::resetTextColor(label);
        } else {
            label->setText(QStringLiteral("Not assigned"));
            style::setTextColor(label, style::kSecondary);
        }
        clear->setEnabled(command.has_value());
    };
    show(startCommandLabel_, startClearButton_, services_.midi->startCommand());
    show(stopCommandLabel_, stopClearButton_, services_.midi->stopCommand());
}

void MIDIPage::updateLearningDisplay() {
    const MIDILearningState state = services_.midi->learningState();
    const bool learningStart = state == MIDILearningState::learningStart;
    const bool learningStop = state == MIDILearningState::learningStop;
    startAction_ = learningStart ? LearnAction::cancel : LearnAction::learnStart;
    stopAction_ = learningStop ? LearnAction::cancel : LearnAction::learnStop;
    if (state == MIDILearningState::idle) {
        learningStatusLabel_->setText(learningNotice_);
        learningStatusLabel_->setVisible(!learningNotice_.isEmpty());
        startLearnButton_->setText(QStringLiteral("Learn"));
        stopLearnButton_->setText(QStringLiteral("Learn"));
    } else {
        // Only the button of the command being learned changes; the other keeps its title.
        learningStatusLabel_->setText(QStringLiteral("Waiting for MIDI input to assign as %1 command...")
                                          .arg(learningStart ? QStringLiteral("Start") : QStringLiteral("Stop")));
        learningStatusLabel_->show();
        (learningStart ? startLearnButton_ : stopLearnButton_)->setText(QStringLiteral("Cancel"));
    }
    updateUIState();
}

void MIDIPage::updateUIState() {
    const auto& midi = *services_.midi;
    const bool enabled = midiEnabledCheckbox_->isChecked();
    midiDevicePopup_->setEnabled(enabled);
    // A source that is not listed (unplugged) could never send the message being waited for.
    const bool listed = selectedSourceListed();
    const bool learningPossible = enabled && listed;
    const MIDILearningState state = midi.learningState();
    // While one command is being learned, the other button waits: one message, one command.
    const bool startEnabled = state == MIDILearningState::learningStart ||
                              (state == MIDILearningState::idle && learningPossible);
    const bool stopEnabled = state == MIDILearningState::learningStop ||
                             (state == MIDILearningState::idle && learningPossible);
    startLearnButton_->setEnabled(startEnabled);
    stopLearnButton_->setEnabled(stopEnabled);

    auto& log = services_.log;
    log.print("🎹 UI State Update:");
    log.print("   MIDI Enabled: ", boolText(enabled));
    log.print("   Device Connected: ", boolText(listed));
    log.print("   Selected Device: ", midi.selectedDevice().value_or("nil"));
    log.print("   Learning Enabled: ", boolText(learningPossible));
    log.print("   Start Learn Button Enabled: ", boolText(startEnabled));
    log.print("   Stop Learn Button Enabled: ", boolText(stopEnabled));
}

}  // namespace lumeno::ui
