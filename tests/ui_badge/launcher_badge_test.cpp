#include "ui/launcher_badge.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QVariantMap>
#include <memory>

#include "support/child_process.h"

namespace lumeno::ui {
namespace {

struct Update {
    QString app;
    QVariantMap properties;
};

class UpdateRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<Update> updates;

public slots:
    void update(const QString& app, const QVariantMap& properties) { updates.push_back({app, properties}); }
};

class LauncherBadgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(DBUS_DAEMON).empty()) GTEST_SKIP() << "dbus-daemon is not installed";
        daemon_ = std::make_unique<testing::ChildProcess>(
            DBUS_DAEMON, std::vector<std::string>{"--session", "--print-address", "--nofork"});
        ASSERT_TRUE(daemon_->waitForPrefix("unix:"));
        address_ = QString::fromStdString(daemon_->stdoutLines().front());
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus("badge-sender");
        QDBusConnection::disconnectFromBus("badge-listener");
    }

    // Bounded wait for signals delivered through the event loop.
    static void waitForUpdates(const UpdateRecorder& recorder, std::size_t count) {
        QDeadlineTimer deadline(10000);
        while (recorder.updates.size() < count && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
    }

    std::unique_ptr<testing::ChildProcess> daemon_;
    QString address_;
};

TEST_F(LauncherBadgeTest, UpdateSignalCarriesCountAndVisibilityForTheDesktopFile) {
    QDBusConnection listener = QDBusConnection::connectToBus(address_, "badge-listener");
    QDBusConnection sender = QDBusConnection::connectToBus(address_, "badge-sender");
    ASSERT_TRUE(listener.isConnected());
    ASSERT_TRUE(sender.isConnected());
    UpdateRecorder recorder;
    ASSERT_TRUE(listener.connect({}, {}, "com.canonical.Unity.LauncherEntry", "Update", &recorder,
                                 SLOT(update(QString, QVariantMap))));
    // A round trip on the same connection makes sure the bus has the match rule before anything is sent.
    listener.interface()->isServiceRegistered("org.freedesktop.DBus");

    LauncherBadge badge(sender);
    badge.setCount(0);
    badge.setCount(1);
    badge.setCount(3);
    waitForUpdates(recorder, 3);

    struct Expected {
        qint64 count;
        bool visible;
    };
    const std::vector<Expected> expected = {{0, false}, {1, true}, {3, true}};
    ASSERT_EQ(recorder.updates.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& update = recorder.updates[i];
        EXPECT_EQ(update.app, "application://lumeno.desktop");
        EXPECT_EQ(update.properties.value("count").typeId(), QMetaType::LongLong);
        EXPECT_EQ(update.properties.value("count").toLongLong(), expected[i].count);
        EXPECT_EQ(update.properties.value("count-visible").typeId(), QMetaType::Bool);
        EXPECT_EQ(update.properties.value("count-visible").toBool(), expected[i].visible);
    }
}

QStringList qtMessages;
void recordMessage(QtMsgType, const QMessageLogContext&, const QString& text) { qtMessages << text; }

TEST(LauncherBadgeWithoutBusTest, DoesNothingAndSaysNothing) {
    QDBusConnection dead = QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "badge-dead");
    ASSERT_FALSE(dead.isConnected());
    LauncherBadge badge(dead);
    qtMessages.clear();
    auto previous = qInstallMessageHandler(recordMessage);
    badge.setCount(3);
    badge.setCount(0);
    qInstallMessageHandler(previous);
    QDBusConnection::disconnectFromBus("badge-dead");
    EXPECT_TRUE(qtMessages.isEmpty()) << qtMessages.join("\n").toStdString();
}

}  // namespace
}  // namespace lumeno::ui

#include "launcher_badge_test.moc"
