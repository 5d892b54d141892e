#pragma once

#include "app/ui/MainWindow.h"
#include "intake/Receiver.h"
#include "platform/Language.h"
#include "platform/QtUdpSocket.h"
#include "platform/SingleInstance.h"
#include "platform/SqliteEngine.h"
#include "tests/support/FakeUdpSocket.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// A main window in a temporary program directory with scripted dialogs, a
// stopped clock and timers that tick only when told. The receiver runs on the
// test's own thread, so everything happens in the order the test drives it.
// The database is the real SQLite file; the socket is the fake unless the
// test asks for a real one. The interface is Chinese unless the test asks for
// English.
struct AppHarness {
    explicit AppHarness(Language language = Language::Chinese, bool withRealSocket = false)
        : instance(LockFileSingleInstance::defaultLockPath(dir.path()))
    {
        useLanguage(language);
        settings.values[QStringLiteral("port")] = QStringLiteral("5514");
        receiver = std::make_unique<Receiver>(
            CoreServices{clock, readEngine, writeEngine,
                         [this, withRealSocket]() -> std::unique_ptr<UdpSocket> {
                             if (!withRealSocket)
                                 return std::make_unique<FakeSocketView>(socket);
                             auto real = std::make_unique<QtUdpSocket>();
                             realSocket = real.get();
                             return real;
                         },
                         [this](int intervalMs) {
                             auto timer = std::make_unique<FakeTimer>();
                             (intervalMs == 100 ? writeTimer : secondTimer) = timer.get();
                             return std::unique_ptr<Timer>(std::move(timer));
                         },
                         dir.path()},
            Receiver::Threading::CallerThread);
        window = std::make_unique<MainWindow>(Services{clock, dialogs, clipboard, fileChooser, shell, settings, instance,
                                                       *receiver, readEngine, dir.path()});
    }

    // Runs the startup and waits until the day's records have been read.
    bool start()
    {
        const bool started = window->start();
        settle();
        return started;
    }
    // Waits until no load of a day is still being read.
    bool settle() { return QTest::qWaitFor([this] { return !window->loadPending(); }, 10000); }

    ReceiverCore& core() { return *receiver->core(); }
    QString dbPath() const { return QDir(dir.path()).filePath(QStringLiteral("syslog.mdb")); }
    QString today() const { return clock.now().toString(QStringLiteral("yyyy-MM-dd")); }

    QTemporaryDir dir;
    FakeClock clock;
    FakeDialogs dialogs;
    FakeClipboard clipboard;
    FakeFileChooser fileChooser;
    FakeShell shell;
    FakeSettingsStore settings;
    LockFileSingleInstance instance;
    FakeUdpSocket socket;
    QtUdpSocket* realSocket = nullptr;
    SqliteEngine readEngine{2000};
    SqliteEngine writeSqlite{250};
    // The write path's engine; a test can make it fail.
    SwitchableEngine writeEngine{writeSqlite};
    FakeTimer* writeTimer = nullptr;
    FakeTimer* secondTimer = nullptr;
    std::unique_ptr<Receiver> receiver;
    std::unique_ptr<MainWindow> window;
};
