#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>

#include "fakes/capture_logger.h"

using lumeno::ui::MainLayout;
using lumeno::ui::MainWindow;
using lumeno::ui::SystemColor;

namespace {

template <typename T>
T* child(QWidget& window, const char* name) {
    return window.findChild<T*>(name);
}

TEST(MainLayoutTest, RowsKeepTheirOrderWithoutOverlapInsideTheWindowWidth) {
    for (int checkBoxHeight : {16, 18, 20, 22, 26}) {
        SCOPED_TRACE(checkBoxHeight);
        const MainLayout l = MainLayout::compute(checkBoxHeight);
        const QRect toggles(20, l.toggleTop, 360, l.toggleHeight);
        const std::vector<QRect> rows = {l.inputLabel.united(l.devicePopup).united(l.transcriptButton),
                                         l.levelMeter, l.streamButton, toggles, l.statusLabel,
                                         l.addressLabel.united(l.qrButton), l.listenerCountLabel};
        for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_GT(rows[i].top(), rows[i - 1].bottom()) << "row " << i;
        for (const QRect& row : rows) {
            EXPECT_GE(row.left(), 20);
            EXPECT_LE(row.right(), 380);
        }
        EXPECT_GE(l.transcriptButton.left() - l.devicePopup.right(), 20);
        EXPECT_EQ(l.contentHeight, l.listenerCountLabel.bottom() + 1 + 20);
        EXPECT_GE(l.contentHeight, 360);
    }
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_.buildMenus();
        window_.show();
    }

    lumeno::testing::CaptureLogger log_;
    MainWindow window_{log_};
};

TEST_F(MainWindowTest, ChecksSetByCodeFireNothingAndClicksFireOnce) {
    QSignalSpy autoGain(&window_, &MainWindow::autoGainClicked);
    QSignalSpy speech(&window_, &MainWindow::speechClicked);
    window_.setAutoGainChecked(true);
    window_.setSpeechChecked(true);
    EXPECT_EQ(autoGain.count() + speech.count(), 0);
    child<QCheckBox>(window_, "speechToggle")->click();
    ASSERT_EQ(speech.count(), 1);
    EXPECT_EQ(speech.at(0).at(0).toBool(), false);
    EXPECT_EQ(autoGain.count(), 0);
}

TEST_F(MainWindowTest, LabelsShowTextAsGivenNeverAsMarkup) {
    window_.setListenerCount("<b>👥 Active Listeners: 3</b>", SystemColor::green);
    EXPECT_EQ(child<QLabel>(window_, "listenerCountLabel")->text(), "<b>👥 Active Listeners: 3</b>");
    for (const char* name : {"listenerCountLabel", "statusLabel", "ipLabel"})
        EXPECT_EQ(child<QLabel>(window_, name)->textFormat(), Qt::PlainText) << name;
    window_.setAddress("No network connection found", false);
    EXPECT_FALSE(child<QPushButton>(window_, "qrButton")->isEnabled());
}

TEST_F(MainWindowTest, DevicePopupKeepsDuplicatesAndReportsTheItemPicked) {
    window_.setDevices({{"A", "a1"}, {"B", "b"}, {"A", "a2"}});
    auto* popup = child<QComboBox>(window_, "devicePopup");
    ASSERT_EQ(popup->count(), 3);
    QSignalSpy activated(&window_, &MainWindow::deviceActivated);
    emit popup->activated(2);
    ASSERT_EQ(activated.count(), 1);
    EXPECT_EQ(window_.deviceTitle(2), "A");
    EXPECT_EQ(window_.deviceUniqueID(2), "a2");
    EXPECT_TRUE(window_.deviceTitle(7).isNull());
}

}  // namespace
