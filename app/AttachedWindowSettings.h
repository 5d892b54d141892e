#pragma once

#include "platform/SettingsStore.h"

#include <QMap>

// The settings of a window attached to the service. The port and the message
// filter are the service's: the window starts with the service's values, and
// what it changes goes to the service (which stores it), never to a file of
// the window's. Everything else is the user's own choice of how the window
// looks (the fields view), kept in the user's settings as when the window runs
// a receiver of its own.
class AttachedWindowSettings final : public SettingsStore {
public:
    AttachedWindowSettings(int servicePort, int serviceFilter, SettingsStore& own) : own_(own)
    {
        service_[QStringLiteral("port")] = QString::number(servicePort);
        service_[QStringLiteral("msgfilter")] = QString::number(serviceFilter);
    }
    QString read(const QString& name) const override
    {
        return service_.contains(name) ? service_.value(name) : own_.read(name);
    }
    bool write(const QString& name, const QString& value) override
    {
        if (!service_.contains(name))
            return own_.write(name, value);
        service_[name] = value;
        return true;
    }

private:
    QMap<QString, QString> service_;
    SettingsStore& own_;
};
