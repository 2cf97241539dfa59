#include "ui/launcher_badge.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QVariantMap>

#include "support/child_process.h"

namespace lumeno::ui {
namespace {

class UpdateRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<std::pair<QString, QVariantMap>> updates;

public slots:
    void update(const QString& app, const QVariantMap& properties) { updates.emplace_back(app, properties); }
};

TEST(LauncherBadgeTest, UpdateSignalCarriesCountAndVisibilityForTheDesktopFile) {
    if (std::string(DBUS_DAEMON).empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    testing::ChildProcess daemon(DBUS_DAEMON, {"--session", "--print-address", "--nofork"});
    ASSERT_TRUE(daemon.waitForPrefix("unix:"));
    const QString address = QString::fromStdString(daemon.stdoutLines().front());
    {
        QDBusConnection listener = QDBusConnection::connectToBus(address, "badge-listener");
        QDBusConnection sender = QDBusConnection::connectToBus(address, "badge-sender");
        UpdateRecorder recorder;
        ASSERT_TRUE(listener.connect({}, {}, "com.canonical.Unity.LauncherEntry", "Update", &recorder,
                                     SLOT(update(QString, QVariantMap))));
        // A round trip on the same connection makes sure the bus has the match rule before anything is sent.
        listener.interface()->isServiceRegistered("org.freedesktop.DBus");

        LauncherBadge badge(sender);
        const qint64 counts[] = {0, 1, 3};
        for (const qint64 count : counts) badge.setCount(count);
        QDeadlineTimer deadline(10000);
        while (recorder.updates.size() < std::size(counts) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

        ASSERT_EQ(recorder.updates.size(), std::size(counts));
        for (std::size_t i = 0; i < std::size(counts); ++i) {
            const auto& [app, properties] = recorder.updates[i];
            EXPECT_EQ(app, "application://lumeno.desktop");
            EXPECT_EQ(properties.value("count").typeId(), QMetaType::LongLong);
            EXPECT_EQ(properties.value("count").toLongLong(), counts[i]);
            EXPECT_EQ(properties.value("count-visible").toBool(), counts[i] > 0) << "a count of 0 hides the badge";
        }
    }
    QDBusConnection::disconnectFromBus("badge-sender");
    QDBusConnection::disconnectFromBus("badge-listener");
}

}  // namespace
}  // namespace lumeno::ui

#include "launcher_badge_test.moc"
