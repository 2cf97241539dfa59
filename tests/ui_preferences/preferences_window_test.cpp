#include <QLineEdit>
#include <QTest>

#include "preferences_harness.h"
#include "ui/preferences/appearance_page.h"

using namespace lumeno;
using lumeno::testing::PreferencesTest;

// Ctrl+W hides the window even from a text field, which keeps what was typed; W alone is typed.
TEST_F(PreferencesTest, CtrlWHidesTheWindowAndKeepsWhatWasTyped) {
    auto& window = makeWindow();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QLineEdit* title = window.appearance().titleTextField();
    title->setFocus();
    QTest::keyClick(title, Qt::Key_W);
    EXPECT_EQ(title->text(), "w");
    EXPECT_TRUE(window.isVisible());
    QTest::keyClick(title, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(title->text(), "w");
}
