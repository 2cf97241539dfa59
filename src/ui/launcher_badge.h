#pragma once

#include <QDBusConnection>
#include <QString>

namespace lumeno::ui {

// Shows the listener count on the application's launcher icon through the LauncherEntry
// signal that docks and task bars listen for. Without a bus it stays silent: a desktop with no
// launcher is not an error. Thread: main.
class LauncherBadge {
public:
    explicit LauncherBadge(QDBusConnection bus, QString desktopFileName = QStringLiteral("lumeno.desktop"));

    // Counts below 1 hide the badge.
    void setCount(qint64 count);

private:
    QDBusConnection bus_;
    QString appUri_;
    QString objectPath_;
};

}  // namespace lumeno::ui
