#pragma once

#include "app/ui/MainWindow.h"
#include "intake/ReceiverLink.h"
#include "intake/ReceiverThread.h"
#include "platform/Language.h"
#include "platform/QtUdpSocket.h"
#include "platform/SingleInstance.h"
#include "platform/SqliteEngine.h"
#include "tests/support/FakeUdpSocket.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

// A main window in a temporary program directory with scripted dialogs, a
// stopped clock and timers that tick only when told. The receiver runs on the
// test's own thread and the window reaches it over the link, so what one
// tells the other arrives once the event loop runs (sync()). The database is
// the real SQLite file; the socket is the fake unless the test asks for a
// real one. The interface is Chinese unless the test asks for English.
struct AppHarness {
    explicit AppHarness(Language language = Language::Chinese, bool withRealSocket = false)
        : instance(LockFileSingleInstance::defaultLockPath(dir.path()))
    {
        useLanguage(language);
        settings.values[QStringLiteral("port")] = QStringLiteral("5514");
        // No TCP listener: it would take the real TCP port 5514, which test
        // programs running side by side contend for (the loser's status line
        // then notes that TCP is not received).
        settings.values[QStringLiteral("tcp")] = QStringLiteral("0");
        receiver = std::make_unique<ReceiverThread>(
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
                         dir.path(), &settings},
            ReceiverThread::Threading::CallerThread);
        auto watchdog = std::make_unique<FakeTimer>();
        pingTimer = watchdog.get();
        link = std::make_unique<ReceiverLink>(std::move(watchdog));
        QSignalSpy attached(link.get(), &ReceiverLink::attached);
        const Result<qintptr> windowEnd = receiver->connectWindow();
        EXPECT_TRUE(windowEnd) << windowEnd.error().toStdString();
        link->attachInProcess(windowEnd ? *windowEnd : -1);
        EXPECT_TRUE(attached.wait(10000));
        window = std::make_unique<MainWindow>(Services{clock, dialogs, clipboard, fileChooser, shell, settings, instance,
                                                       *link, readEngine, dir.path()});
    }

    // Runs the startup and waits until it ended and the day's records have
    // been read; true when the window runs.
    bool start()
    {
        QSignalSpy ended(window.get(), &MainWindow::startupEnded);
        window->start();
        if (ended.isEmpty() && !ended.wait(10000))
            return false;
        sync();
        settle();
        return ended.at(0).at(0).toBool();
    }
    // Runs the shutdown and waits until it is done.
    bool shutDown()
    {
        QSignalSpy finished(window.get(), &MainWindow::shutDownFinished);
        window->shutDown();
        return !finished.isEmpty() || finished.wait(10000);
    }
    // Waits until the receiver has answered a ping: everything the window
    // asked before has been carried out, and everything the receiver told
    // before has reached the window.
    bool sync()
    {
        bool answered = false;
        QObject context;
        link->request(&context, [](ReceiverReplica& r) { return r.ping(); }, [&](const QVariant&) { answered = true; });
        return QTest::qWaitFor([&] { return answered; }, 10000);
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
    // The link's watchdog. A window's own receiver is not watched; a test
    // ticks it to play a receiver that stops answering, as a service may.
    FakeTimer* pingTimer = nullptr;
    std::unique_ptr<ReceiverThread> receiver;
    std::unique_ptr<ReceiverLink> link;
    std::unique_ptr<MainWindow> window;
};
