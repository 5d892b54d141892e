#include "app/AttachedWindowSettings.h"
#include "app/CommandLine.h"
#include "app/Service.h"
#include "app/SignalBridge.h"
#include "app/ui/MainWindow.h"
#include "intake/ReceiverHost.h"
#include "intake/ReceiverLink.h"
#include "intake/ReceiverThread.h"
#include "platform/Clock.h"
#include "platform/IniSettingsStore.h"
#include "platform/QtUdpSocket.h"
#include "platform/Result.h"
#include "platform/SingleInstance.h"
#include "platform/SqliteEngine.h"
#include "platform/Timer.h"
#include "platform/ui/QtDesktop.h"
#include "platform/ui/QtDialogs.h"
#include "platform/ui/QtFileChooser.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QSessionManager>
#include <QTimer>
#include <memory>

namespace {

// The watchdog of a service: a ping every half second.
constexpr int kPingIntervalMs = 500;
// How long a service that accepts the connection gets to greet the window.
constexpr int kAttachTimeoutMs = 5000;

// The engines, clock and receiver of a window that has a receiver of its own.
struct ReceiverParts {
    ReceiverParts(const QString& dataDir, const SettingsStore& settings)
        : receiver(CoreServices{clock, readEngine, writeEngine,
                                [] { return std::unique_ptr<UdpSocket>(new QtUdpSocket); },
                                [](int intervalMs) { return std::unique_ptr<Timer>(new QtTimer(intervalMs)); },
                                dataDir, &settings, /* indexClosedDays */ true, /* matchRulesOnOwnThread */ true})
    {
    }
    SystemClock clock;
    SqliteEngine readEngine{5000};
    SqliteEngine writeEngine{250};
    ReceiverThread receiver;
};

// Runs the event loop until the link has the receiver's state; fails, with
// the reason, when it does not come. No window exists yet.
Result<> waitUntilAttached(ReceiverLink& link, const QString& socketPath)
{
    QEventLoop loop;
    QTimer::singleShot(kAttachTimeoutMs, &loop, &QEventLoop::quit);
    QObject::connect(&link, &ReceiverLink::attached, &loop, &QEventLoop::quit);
    QObject::connect(&link.receiver(), &QRemoteObjectReplica::stateChanged, &loop,
                     [&loop](QRemoteObjectReplica::State state) {
                         if (state == QRemoteObjectReplica::SignatureMismatch)
                             loop.quit();
                     });
    if (!link.isAttached())
        loop.exec();
    if (link.isAttached())
        return {};
    if (link.receiver().state() == QRemoteObjectReplica::SignatureMismatch)
        return Failure{QStringLiteral("the service on %1 speaks another version of the link").arg(socketPath)};
    return Failure{QStringLiteral("the service on %1 did not answer").arg(socketPath)};
}

// The lock of a directory whose service the window attached to: the service holds it.
class HeldByService final : public SingleInstance {
public:
    bool tryAcquire() override { return true; }
};

// The window, on a receiver of its own or attached to a service.
int showWindow(QApplication& app, const QString& dataDir, Clock& clock, DbEngine& readEngine, ReceiverLink& link,
               SettingsStore& settings, SingleInstance& singleInstance)
{
    // Only the main window's close request ends the program.
    app.setQuitOnLastWindowClosed(false);
    QtDialogs dialogs;
    QtClipboard clipboard;
    QtShell shell;
    QtFileChooser fileChooser;
    QObject::connect(&link.receiver(), &ReceiverReplica::problemReported, &app, printLine);

    Services services{clock, dialogs, clipboard, fileChooser, shell, settings, singleInstance, link, readEngine, dataDir};
    MainWindow window(services);
    dialogs.setParent(&window);
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    dialogs.setHeadless(headless);
    fileChooser.setHeadless(headless);

    auto exitWith = [](int status) {
        // Queued: it takes effect even when asked for before the event loop runs.
        QMetaObject::invokeMethod(qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
    };
    QObject::connect(&window, &MainWindow::startupEnded, &app, [&](bool running) {
        if (!running) {
            if (!window.isShutDown())
                exitWith(1); // else it ends once shut down
            return;
        }
        ReceiverReplica& receiver = link.receiver();
        printLine(QStringLiteral("database %1; UDP port %2%3; receive buffer %4 KiB")
                      .arg(QDir::toNativeSeparators(QDir(dataDir).filePath(QStringLiteral("syslog.mdb"))))
                      .arg(receiver.listeningPort())
                      .arg(receiver.portBound() ? QString() : QStringLiteral(" (not bound)"))
                      .arg(receiver.receiveBufferBytes() / 1024));
        window.show();
    });
    QObject::connect(&window, &MainWindow::shutDownFinished, &app, [&](const QString& summary) {
        printLine(link.isService() ? QStringLiteral("window closed; detached from the service on %1; it goes on "
                                                    "receiving")
                                         .arg(ReceiverHost::socketPath(dataDir))
                                   : QStringLiteral("stopped: ") + summary);
        exitWith(0);
    });
    // From here on a termination request runs the orderly shutdown, also while
    // the startup is still asking something.
    SignalBridge signalBridge([&window] {
        window.close();
        window.shutDown();
    });
    // The session ending (the user logging off) is a close request too.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window](QSessionManager&) {
        window.close();
        window.shutDown();
    });
    window.start();
    return app.exec();
}

int runWindow(QApplication& app, const QString& dataDir)
{
    // A service keeping its files in the directory: the window becomes a view
    // of it, and closing the window leaves it running.
    const QString socketPath = ReceiverHost::socketPath(dataDir);
    if (ReceiverHost::serviceAnswers(socketPath)) {
        ReceiverLink link(std::make_unique<QtTimer>(kPingIntervalMs));
        link.attachToService(socketPath);
        const Result<> attached = waitUntilAttached(link, socketPath);
        if (attached) {
            printLine(QStringLiteral("attached to the service on %1").arg(socketPath));
            SystemClock clock;
            SqliteEngine readEngine{5000};
            HeldByService heldByService;
            IniSettingsStore own(IniSettingsStore::defaultPath());
            AttachedWindowSettings settings(link.receiver().listeningPort(), link.receiver().filterOn(), own);
            return showWindow(app, dataDir, clock, readEngine, link, settings, heldByService);
        }
        printLine(QStringLiteral("not attached: ") + attached.error());
    } else if (QFile::exists(socketPath)) {
        printLine(QStringLiteral("not attached: no service answers on %1").arg(socketPath));
    }
    IniSettingsStore settings(IniSettingsStore::defaultPath());
    LockFileSingleInstance singleInstance(LockFileSingleInstance::defaultLockPath(dataDir));
    ReceiverParts parts(dataDir, settings);
    ReceiverLink link(std::make_unique<QtTimer>(kPingIntervalMs));
    const Result<qintptr> windowEnd = parts.receiver.connectWindow();
    if (!windowEnd) {
        printLine(windowEnd.error());
        return 1;
    }
    link.attachInProcess(*windowEnd);
    if (const Result<> attached = waitUntilAttached(link, socketPath); !attached) {
        printLine(QStringLiteral("the receiver does not answer"));
        return 1;
    }
    return showWindow(app, dataDir, parts.clock, parts.readEngine, link, settings, singleInstance);
}

} // namespace

int main(int argc, char* argv[])
{
    const CommandLine command = parseCommandLine(argumentsOf(argc, argv));
    if (command.action != CommandLine::Action::Window)
        return runWithoutWindow(argc, argv, command, Program::Window);

    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kiv-syslog"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kiv-syslog.svg")));
    const QString dataDir = dataDirOf(command);
    useLocaleLanguage();
    if (const QString problem = dataDirProblem(dataDir); !problem.isEmpty()) {
        QtDialogs dialogs;
        dialogs.setHeadless(QGuiApplication::platformName() == QLatin1String("offscreen"));
        dialogs.message(problem);
        return 1;
    }
    return runWindow(app, dataDir);
}
