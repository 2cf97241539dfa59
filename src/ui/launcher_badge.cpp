#include "ui/launcher_badge.h"

#include <QDBusMessage>
#include <QVariantMap>

namespace lumeno::ui {

namespace {

constexpr auto kInterface = "com.canonical.Unity.LauncherEntry";

// Object path elements allow only [A-Za-z0-9_]; listeners match the signal by its interface and
// the app URI, so the path only has to be valid and stable.
QString objectPathFor(const QString& desktopFileName) {
    QString element;
    for (QChar c : desktopFileName) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        element += plain ? c : QChar(u'_');
    }
    return QStringLiteral("/com/canonical/unity/launcherentry/") + element;
}

}  // namespace

LauncherBadge::LauncherBadge(QDBusConnection bus, QString desktopFileName)
    : bus_(std::move(bus)),
      appUri_(QStringLiteral("application://") + desktopFileName),
      objectPath_(objectPathFor(desktopFileName)) {}

void LauncherBadge::setCount(qint64 count) {
    if (!bus_.isConnected()) return;
    QDBusMessage signal = QDBusMessage::createSignal(objectPath_, kInterface, QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("count"), QVariant::fromValue<qint64>(count < 0 ? 0 : count));
    properties.insert(QStringLiteral("count-visible"), count >= 1);
    signal << appUri_ << properties;
    bus_.send(signal);
}

}  // namespace lumeno::ui
