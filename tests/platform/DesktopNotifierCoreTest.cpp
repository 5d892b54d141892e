// Desktop notifications over a session bus of the test's own (dbus-daemon),
// with a notification service of the test's own on it.
#include "platform/dbus/DesktopNotifier.h"

#include <QDBusConnection>
#include <QProcess>
#include <QSignalSpy>
#include <QVariantMap>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList shown;

public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int)
    {
        shown << app + u'|' + summary + u'|' + body;
        return uint(shown.size());
    }
};

} // namespace

TEST(DesktopNotifier, SaysOnceWhyItCannotNotifyAndNotifiesOnceItCan)
{
    QProcess bus;
    bus.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
    ASSERT_TRUE(bus.waitForReadyRead(10000)) << bus.errorString().toStdString();
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    ASSERT_EQ(DesktopNotifier::sessionBusAddress(), address);

    QStringList told;
    {
        DesktopNotifier notifier([&](const QString& line) { told << line; });
        QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
        notifier.notify(u"router down"_s, u"link eth0 down"_s);
        ASSERT_TRUE(delivered.wait(10000));
        EXPECT_FALSE(delivered[0][0].toBool());
        ASSERT_EQ(told.size(), 1);
        EXPECT_TRUE(told[0].startsWith(u"desktop notifications of the rules cannot be shown: the session bus has no "
                                       "notification service that answers"_s))
            << told[0].toStdString();

        FakeNotifications service;
        QDBusConnection serviceSide = QDBusConnection::connectToBus(address, u"test-service"_s);
        ASSERT_TRUE(serviceSide.registerObject(u"/org/freedesktop/Notifications"_s, &service,
                                               QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(serviceSide.registerService(u"org.freedesktop.Notifications"_s));
        notifier.notify(u"router down"_s, u"link eth0 down and 3 more since 12:00:05"_s);
        ASSERT_TRUE(delivered.wait(10000));
        EXPECT_TRUE(delivered[1][0].toBool());
        EXPECT_EQ(service.shown, QStringList{u"kiv-syslog|router down|link eth0 down and 3 more since 12:00:05"_s});
        EXPECT_EQ(told.size(), 1);
        QDBusConnection::disconnectFromBus(u"test-service"_s);
    }
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    bus.kill();
    bus.waitForFinished();
}

#include "DesktopNotifierCoreTest.moc"
