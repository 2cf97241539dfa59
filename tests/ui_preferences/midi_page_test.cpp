#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "preferences_harness.h"
#include "ui/preferences/midi_page.h"

using namespace std::chrono_literals;
using namespace lumeno;
namespace key = prefs::key;

namespace {

class MIDIPageTest : public lumeno::testing::PreferencesTest {
protected:
    // MIDI on, source "Pad" (endpoint 5) plugged in and chosen in the pop-up.
    ui::MIDIPage& pageWithPadChosen() {
        midiBackend_->found = {{5, "Pad"}};
        store_->setBool(key::kMidiEnabled, true);
        auto& page = makeWindow().midi();
        page.midiDevicePopup()->setCurrentIndex(page.midiDevicePopup()->findText("Pad"));
        emit page.midiDevicePopup()->activated(page.midiDevicePopup()->currentIndex());
        queue_.advance(1s);
        return page;
    }
    // The learn rows as the operator sees them: each command, its Learn and Clear buttons ("-"
    // when disabled), then the status line when it shows.
    static std::string shown(const ui::MIDIPage& page) {
        auto button = [](const QPushButton* b) { return b->isEnabled() ? b->text() : QString("-"); };
        const QLabel* status = page.learningStatusLabel();
        return QStringList{page.startCommandLabel()->text(), button(page.startLearnButton()), button(page.startClearButton()),
                           page.stopCommandLabel()->text(), button(page.stopLearnButton()), button(page.stopClearButton()),
                           status->isHidden() ? QString() : status->text()}
            .join(" | ")
            .toStdString();
    }
    void plug(std::vector<midi::MIDISourceInfo> sources) {
        midiBackend_->found = std::move(sources);
        midiBackend_->announceSetupChange();
        queue_.advance(1s);
    }
};

}  // namespace

// Nothing can come from a source that went away: learning ends, with a line that says why.
TEST_F(MIDIPageTest, LearningShowsTheWaitThenTheCommandAndEndsWhenTheSourceGoes) {
    auto& page = pageWithPadChosen();
    EXPECT_EQ(shown(page), "Not assigned | Learn | - | Not assigned | Learn | - | ");
    page.startLearnButton()->click();
    queue_.runUntilIdle();
    EXPECT_EQ(shown(page), "Not assigned | Cancel | - | Not assigned | - | - | "
                           "Waiting for MIDI input to assign as Start command...");
    midiBackend_->deliver({0xB0, 7, 100});
    queue_.runUntilIdle();
    EXPECT_EQ(shown(page), "CC7 on Ch1 | Learn | Clear | Not assigned | Learn | - | ");
    EXPECT_TRUE(store_->hasKey(key::kMidiStartCommand));
    page.startClearButton()->click();
    EXPECT_FALSE(store_->hasKey(key::kMidiStartCommand));

    page.stopLearnButton()->click();
    queue_.runUntilIdle();
    plug({});
    EXPECT_EQ(midi_->learningState(), midi::MIDILearningState::idle);
    EXPECT_EQ(shown(page), "Not assigned | - | - | Not assigned | - | - | Learning cancelled: Pad is no longer connected");
    EXPECT_EQ(store_->stringForKey(key::kSelectedMIDIDevice), "Pad");

    // Plugged in again: reconnected and learnable again.
    plug({{9, "Pad"}});
    EXPECT_EQ(midiBackend_->calls.back(), "connect 9");
    EXPECT_TRUE(page.startLearnButton()->isEnabled());
}

// With MIDI off, a chosen source that is not plugged in is shown but never asked for, so the
// window does not start a scan that answers itself forever.
TEST_F(MIDIPageTest, UnpluggedChoiceWithMIDIOffIsShownWithoutEndlessRescans) {
    midiBackend_->found = {{6, "Keys", "Acme"}};
    store_->setString(key::kSelectedMIDIDevice, std::string("Pad"));
    auto& page = makeWindow().midi();
    const int scans = midiBackend_->scans;
    queue_.advance(10s);
    EXPECT_EQ(midiBackend_->scans, scans);
    EXPECT_EQ(page.midiDevicePopup()->currentText(), "Pad");
    EXPECT_TRUE(midiBackend_->calls.empty());  // nothing connected
}
