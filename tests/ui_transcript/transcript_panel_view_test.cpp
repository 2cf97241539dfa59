#include "ui/transcript/transcript_panel_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <deque>

#include "support/correction_fixture.h"
#include "ui/transcript/correction_dialog.h"

using lumeno::speech::CorrectionMap;
using lumeno::ui::CorrectionDialog;
using lumeno::ui::TranscriptPanelView;
namespace key = lumeno::prefs::key;

namespace {

// Acts on the modal widgets that the code under test opens, one step per widget, in order.
// Polls on a timer; a step that never finds its widget rejects whatever modal is open, so a
// failing test ends instead of hanging in exec().
class ModalScript {
public:
    using Step = std::function<bool(QWidget* modal)>;  // false: not the widget this step wants

    explicit ModalScript(std::deque<Step> steps) : steps_(std::move(steps)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(10);
    }
    bool finished() const { return steps_.empty(); }

private:
    void poll() {
        if (steps_.empty()) return timer_.stop();
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && steps_.front()(modal)) {
            steps_.pop_front();
            polls_ = 0;
        } else if (++polls_ > 1000) {
            if (modal) QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
            steps_.clear();
        }
    }

    std::deque<Step> steps_;
    QTimer timer_;
    int polls_ = 0;
};

// Picks the words with these indices, types `text`, then creates the correction.
ModalScript::Step fillDialog(std::vector<int> words, QString text) {
    return [=](QWidget* modal) {
        auto* dialog = dynamic_cast<CorrectionDialog*>(modal);
        if (!dialog) return false;
        auto* chips = dialog->wordSelection();
        for (int i : words) {
            const auto& r = chips->wordRects()[static_cast<std::size_t>(i)];
            QTest::mouseClick(chips->contentView(), Qt::LeftButton, {}, QPointF(r.x + 2, r.y + 10).toPoint());
        }
        dialog->findChild<QLineEdit*>()->setText(text);
        for (auto* b : dialog->findChildren<QPushButton*>())
            if (b->text() == "Create Correction") b->click();
        return true;
    };
}

class PanelTest : public ::testing::Test, protected lumeno::testing::CorrectionFixture {
protected:
    void SetUp() override {
        store_->setBool(key::kTranscriptionCorrectionsEnabled, true);
        store_->setBool(key::kTranscriptionUseBiblicalTerms, false);
        corrections_->loadCorrections();
        panel_ = std::make_unique<TranscriptPanelView>(TranscriptPanelView::Services{log_, corrections_, {}});
        panel_->resize(320, 240);
        panel_->show();
    }

    QTextEdit* text() const { return panel_->textView(); }
    QStringList blocks() const {
        QStringList out;
        for (QTextBlock b = text()->document()->begin(); b.isValid(); b = b.next()) out << b.text();
        return out;
    }
    QTextBlock blockWith(const QString& content) const {
        for (QTextBlock b = text()->document()->begin(); b.isValid(); b = b.next())
            if (b.text().startsWith(content)) return b;
        return {};
    }
    // A viewport point over the middle of the block's first character.
    QPoint pointOn(const QTextBlock& block) const {
        QTextCursor c(block);
        c.setPosition(block.position() + 1);
        return text()->cursorRect(c).center() - QPoint(3, 0);
    }
    void clickLine(const QString& content) {
        QTest::mouseClick(text()->viewport(), Qt::LeftButton, {}, pointOn(blockWith(content)));
    }
    void runUntil(ModalScript& script) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return script.finished() && !QApplication::activeModalWidget(); }, 20000));
    }

    std::unique_ptr<TranscriptPanelView> panel_;
};

TEST_F(PanelTest, RendersStatusLinesEntriesAndTheLineBeingSpoken) {
    EXPECT_EQ(blocks(), QStringList{"Waiting for speech..."});
    for (const char* line : {"first line", "second line"}) panel_->addTranscription(line, true);
    EXPECT_EQ(blocks(), (QStringList{"first line", "", "second line", "", "Listening..."}));
    panel_->addTranscription("still speaking", false);
    EXPECT_EQ(blocks().mid(4), (QStringList{"still speaking ●", "", ""}));
}

TEST_F(PanelTest, HostileCaptionsAreShownAsTextAndLongOnesCut) {
    panel_->addTranscription("<b>x</b> &amp; <img src=x>", true);
    EXPECT_EQ(blocks().front(), "<b>x</b> &amp; <img src=x>");
    EXPECT_EQ(blockWith("<b>").begin().fragment().charFormat().font().weight(), QFont::Normal);

    const std::string huge(10000, 'w');
    panel_->addTranscription(huge, true);
    EXPECT_EQ(blockWith("www").text().size(), static_cast<int>(TranscriptPanelView::kLongestShownLine) + 1);
    EXPECT_EQ(panel_->model().entries().back().text, huge);
}

TEST_F(PanelTest, CorrectedTextIsNotCorrectedAgain) {
    corrections_->setCustomCorrections({{"pastor", "Pastor John"}});
    panel_->addTranscription(corrections_->applyCorrections("pastor said"), true);
    EXPECT_EQ(blocks().front(), "Pastor John said");
}

TEST_F(PanelTest, PickedWordsBecomeACorrectionForTheNextCaptions) {
    panel_->addTranscription("Jon Three Sixteen", true);
    ModalScript script({fillDialog({0, 2}, "  John 3:16 ")});
    clickLine("Jon");
    runUntil(script);
    EXPECT_EQ(corrections_->customCorrections(), (CorrectionMap{{"jon sixteen", "John 3:16"}}));
    EXPECT_EQ(corrections_->applyCorrections("jon sixteen again"), "John 3:16 again");
    EXPECT_EQ(blocks().front(), "Jon Three Sixteen");  // lines already shown stay as they were
}

TEST_F(PanelTest, FollowsNewCaptionsOnlyWhileAtTheBottom) {
    for (int i = 0; i < 40; ++i) panel_->addTranscription("caption number " + std::to_string(i), true);
    QScrollBar* bar = text()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel_->autoScrollPending() && bar->value() == bar->maximum(); }, 5000));

    bar->setValue(0);  // the operator scrolled up to read
    panel_->addTranscription("one more", true);
    EXPECT_FALSE(panel_->autoScrollPending());
    EXPECT_EQ(bar->value(), 0);
}

}  // namespace
