#pragma once

#include "Fakes.h"
#include "FakeUdpSocket.h"
#include "MainWindow.h"
#include "SingleInstance.h"
#include "SqliteEngine.h"

#include <QDir>
#include <QTemporaryDir>
#include <memory>
#include <vector>

// A main window in a temporary program directory with scripted dialogs, a
// stopped clock and timers that tick only when told. The database is the real
// SQLite file; the socket is the fake unless a test passes a real one.
struct AppHarness {
    explicit AppHarness(int localeId = 2052, UdpSocket* realSocket = nullptr)
        : locale(localeId)
        , instance(LockFileSingleInstance::defaultLockPath(dir.path()))
    {
        settings.values[QStringLiteral("port")] = QStringLiteral("5514");
        UdpSocket& socketInUse = realSocket ? *realSocket : static_cast<UdpSocket&>(socket);
        window = std::make_unique<MainWindow>(Services{
            clock, dialogs, clipboard, shell, settings, locale, instance, socketInUse, readEngine, writeEngine,
            [this](int intervalMs) {
                auto timer = std::make_unique<FakeTimer>();
                (intervalMs == 100 ? writeTimer : secondTimer) = timer.get();
                return std::unique_ptr<Timer>(std::move(timer));
            },
            dir.path()});
    }

    QString dbPath() const { return QDir(dir.path()).filePath(QStringLiteral("syslog.mdb")); }
    QString today() const { return clock.now().toString(QStringLiteral("yyyy-MM-dd")); }

    QTemporaryDir dir;
    FakeClock clock;
    FakeDialogs dialogs;
    FakeClipboard clipboard;
    FakeShell shell;
    FakeSettingsStore settings;
    FakeLocale locale;
    LockFileSingleInstance instance;
    FakeUdpSocket socket;
    SqliteEngine readEngine{2000};
    SqliteEngine writeEngine{250};
    FakeTimer* writeTimer = nullptr;
    FakeTimer* secondTimer = nullptr;
    std::unique_ptr<MainWindow> window;
};
