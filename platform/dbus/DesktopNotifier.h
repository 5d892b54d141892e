#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QDBusConnection;

// Desktop notifications from a program without a window: the
// org.freedesktop.Notifications service of the session bus. The bus is the
// one DBUS_SESSION_BUS_ADDRESS names, else the user's own at
// /run/user/UID/bus. A program that cannot reach one (a system service with
// no session, no notification service running) says why once, through
// `tell`, and goes on without notifications. Nothing here waits: each
// notification is an asynchronous call.
class DesktopNotifier final : public QObject {
    Q_OBJECT
public:
    using Tell = std::function<void(const QString& line)>;

    explicit DesktopNotifier(Tell tell, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    void notify(const QString& summary, const QString& body);

    // The session bus's address as this process finds it; empty when there is none.
    static QString sessionBusAddress();

signals:
    // A notification was shown (true) or could not be (false).
    void delivered(bool shown);

private:
    bool connectOnce();
    void cannot(const QString& reason);

    Tell tell_;
    std::unique_ptr<QDBusConnection> bus_;
    bool tried_ = false;
    bool told_ = false;
};
