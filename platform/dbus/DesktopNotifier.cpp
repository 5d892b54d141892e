#include "platform/dbus/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QVariantMap>

#include <unistd.h>

namespace {

const QString kConnectionName = QStringLiteral("kiv-syslog-notifications");

} // namespace

DesktopNotifier::DesktopNotifier(Tell tell, QObject* parent) : QObject(parent), tell_(std::move(tell)) {}

DesktopNotifier::~DesktopNotifier()
{
    if (bus_)
        QDBusConnection::disconnectFromBus(kConnectionName);
}

QString DesktopNotifier::sessionBusAddress()
{
    const QString given = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!given.isEmpty())
        return given;
    const QString own = QStringLiteral("/run/user/%1/bus").arg(::getuid());
    return QFileInfo::exists(own) ? QStringLiteral("unix:path=") + own : QString();
}

bool DesktopNotifier::connectOnce()
{
    if (std::exchange(tried_, true))
        return bus_ != nullptr;
    const QString address = sessionBusAddress();
    if (address.isEmpty()) {
        cannot(QStringLiteral("there is no session bus (DBUS_SESSION_BUS_ADDRESS is not set and /run/user/%1/bus "
                              "does not exist: the service runs outside a desktop session)")
                   .arg(::getuid()));
        return false;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(address, kConnectionName);
    if (!bus.isConnected()) {
        cannot(QStringLiteral("the session bus %1 cannot be reached: %2").arg(address, bus.lastError().message()));
        QDBusConnection::disconnectFromBus(kConnectionName);
        return false;
    }
    bus_ = std::make_unique<QDBusConnection>(bus);
    return true;
}

void DesktopNotifier::notify(const QString& summary, const QString& body)
{
    if (!connectOnce()) {
        emit delivered(false);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    call << QStringLiteral("kiv-syslog") << uint(0) << QStringLiteral("kiv-syslog") << summary << body
         << QStringList() << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError())
            cannot(QStringLiteral("the session bus has no notification service that answers: %1")
                       .arg(reply.error().message()));
        emit delivered(!reply.isError());
    });
}

void DesktopNotifier::cannot(const QString& reason)
{
    if (std::exchange(told_, true) || !tell_)
        return;
    tell_(QStringLiteral("desktop notifications of the rules cannot be shown: %1; the other actions work").arg(reason));
}
