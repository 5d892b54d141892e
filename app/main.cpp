#include "app/CommandLine.h"
#include "app/SignalBridge.h"
#include "app/ui/MainWindow.h"
#include "intake/HeadlessService.h"
#include "intake/LinkFrames.h"
#include "intake/Receiver.h"
#include "intake/RemoteReceiver.h"
#include "intake/ServiceLink.h"
#include "platform/Clock.h"
#include "platform/IniSettingsStore.h"
#include "platform/Language.h"
#include "platform/QtUdpSocket.h"
#include "platform/SingleInstance.h"
#include "platform/SqliteEngine.h"
#include "platform/Timer.h"
#include "platform/ui/QtDesktop.h"
#include "platform/ui/QtDialogs.h"
#include "platform/ui/QtFileChooser.h"
#include "search/RecordExport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QSessionManager>
#include <QTextStream>
#include <memory>

namespace {

void printLine(const QString& line) { QTextStream(stderr) << "kiv-syslog: " << line << Qt::endl; }

QString versionText()
{
    return QStringLiteral("kiv-syslog %1.%2").arg(KIV_VERSION_MAJOR).arg(KIV_VERSION_MINOR);
}

// The engines, clock and receiver shared by the window and the headless service.
struct ReceiverParts {
    ReceiverParts(const QString& dataDir, const SettingsStore& settings)
        : receiver(CoreServices{clock, readEngine, writeEngine,
                                [] { return std::unique_ptr<UdpSocket>(new QtUdpSocket); },
                                [](int intervalMs) { return std::unique_ptr<Timer>(new QtTimer(intervalMs)); },
                                dataDir, &settings, /* indexClosedDays */ true})
    {
    }
    SystemClock clock;
    SqliteEngine readEngine{5000};
    SqliteEngine writeEngine{250};
    Receiver receiver;
};

int runExport(const CommandLine& command, const QString& dataDir)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly)) {
        printLine(QStringLiteral("cannot write to standard output"));
        return 2;
    }
    const Result<> exported = exportRecords(dataDir, command.exportDay, command.keyword, command.ip, out);
    out.flush();
    if (exported)
        return 0;
    printLine(exported.error());
    return 2;
}

int runHeadless(QCoreApplication& app, const QString& dataDir)
{
    // A service started by another user (the system's) holds its lock in
    // another runtime directory; its socket in the data directory tells.
    const QString linkPath = linkframes::socketPath(dataDir);
    if (ServiceLink::serviceAnswers(linkPath)) {
        printLine(QStringLiteral("程序已经在运行，不支持多开！ (a service answers on %1)").arg(linkPath));
        return 1;
    }
    IniSettingsStore settings(IniSettingsStore::defaultPath());
    LockFileSingleInstance singleInstance(LockFileSingleInstance::defaultLockPath(dataDir));
    ReceiverParts parts(dataDir, settings);
    HeadlessService service(parts.receiver, settings, singleInstance, dataDir, printLine);
    if (!service.start())
        return 1;
    linkframes::shareDatabaseWithGroup(dataDir);
    // Windows started on the same directory attach here.
    ServiceLink link(parts.receiver, settings);
    QObject::connect(&link, &ServiceLink::logLine, &link, printLine);
    const Result<> listening = link.listen(linkPath);
    printLine(listening ? QStringLiteral("windows attach on %1").arg(linkPath)
                        : QStringLiteral("windows cannot attach: %1").arg(listening.error()));
    SignalBridge signalBridge([&service] {
        service.stop();
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &service, [&service] { service.stop(); });
    return app.exec();
}

// The lock of a directory whose service the window attached to: the service holds it.
class HeldByService final : public SingleInstance {
public:
    bool tryAcquire() override { return true; }
};

// The window, on a receiver of its own or attached to a service.
int showWindow(QApplication& app, const QString& dataDir, Clock& clock, DbEngine& readEngine, ReceiverHandle& receiver,
               SettingsStore& settings, SingleInstance& singleInstance, bool attached)
{
    // Only the main window's close request ends the program.
    app.setQuitOnLastWindowClosed(false);
    QtDialogs dialogs;
    QtClipboard clipboard;
    QtShell shell;
    QtFileChooser fileChooser;
    QObject::connect(&receiver, &ReceiverHandle::problemReported, &app, printLine);

    Services services{clock,          dialogs,  clipboard,  fileChooser, shell, settings,
                      singleInstance, receiver, readEngine, dataDir};
    MainWindow window(services);
    dialogs.setParent(&window);
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    dialogs.setHeadless(headless);
    fileChooser.setHeadless(headless);

    // From here on a termination request runs the orderly shutdown, also while
    // the startup is still asking something. The quit is queued so that it
    // takes effect even when it is requested before the event loop runs.
    QObject::connect(&window, &MainWindow::shutDownFinished, &app, [&receiver, attached] {
        printLine((attached ? QStringLiteral("window closed; ") : QStringLiteral("stopped: ")) + receiver.summaryLine());
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    SignalBridge signalBridge([&window] {
        window.close();
        window.shutDown();
    });
    // The session ending (the user logging off) is a close request too; any
    // other quit still writes what is queued.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window](QSessionManager&) {
        window.close();
        window.shutDown();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, [&window] { window.shutDown(); });

    if (!window.start())
        return window.isShutDown() ? 0 : 1;

    ListeningPort& port = receiver.port();
    printLine(QStringLiteral("database %1; UDP port %2%3; receive buffer %4 KiB")
                  .arg(QDir::toNativeSeparators(QDir(dataDir).filePath(QStringLiteral("syslog.mdb"))))
                  .arg(port.localPort())
                  .arg(port.isBound() ? QString() : QStringLiteral(" (not bound)"))
                  .arg(receiver.receiveBufferBytes() / 1024));
    window.show();
    return app.exec();
}

int runWindow(QApplication& app, const QString& dataDir)
{
    // A service keeping its files in the directory: the window becomes a view
    // of it, and closing the window leaves it running.
    auto remote = std::make_unique<RemoteReceiver>(dataDir, std::make_unique<QtTimer>(2000));
    const Result<> attached = remote->attach();
    if (attached) {
        printLine(QStringLiteral("attached to the service on %1").arg(linkframes::socketPath(dataDir)));
        SystemClock clock;
        SqliteEngine readEngine{5000};
        HeldByService heldByService;
        return showWindow(app, dataDir, clock, readEngine, *remote, remote->settings(), heldByService, true);
    }
    remote.reset();
    if (QFile::exists(linkframes::socketPath(dataDir)))
        printLine(QStringLiteral("not attached: ") + attached.error());
    IniSettingsStore settings(IniSettingsStore::defaultPath());
    LockFileSingleInstance singleInstance(LockFileSingleInstance::defaultLockPath(dataDir));
    ReceiverParts parts(dataDir, settings);
    return showWindow(app, dataDir, parts.clock, parts.readEngine, parts.receiver, settings, singleInstance, false);
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine command = parseCommandLine(arguments);
    switch (command.action) {
    case CommandLine::Action::Help:
        QTextStream(stdout) << usageText();
        return 0;
    case CommandLine::Action::Version:
        QTextStream(stdout) << versionText() << Qt::endl;
        return 0;
    case CommandLine::Action::Error:
        QTextStream(stderr) << "kiv-syslog: " << command.error << "\n\n" << usageText();
        return 2;
    default:
        break;
    }

    std::unique_ptr<QCoreApplication> app;
    if (command.action == CommandLine::Action::Window)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    app->setApplicationName(QStringLiteral("kiv-syslog"));
    if (command.action == CommandLine::Action::Window)
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kiv-syslog.svg")));

    const QString dataDir = command.dataDir.isEmpty() ? QCoreApplication::applicationDirPath()
                                                      : QDir(command.dataDir).absolutePath();
    if (command.action == CommandLine::Action::Export)
        return runExport(command, dataDir);
    // The interface's language comes from the user's locale, fixed for the
    // run. The service's lines are English; only a data directory it cannot
    // use is told in that language, as a window tells it.
    if (!useLanguage(languageForLocale(messagesLocaleName())))
        printLine(QStringLiteral("the Chinese translation is missing from this build; the interface is English"));
    if (const QString problem = dataDirProblem(dataDir); !problem.isEmpty()) {
        if (command.action == CommandLine::Action::Window) {
            QtDialogs dialogs;
            dialogs.setHeadless(QGuiApplication::platformName() == QLatin1String("offscreen"));
            dialogs.message(problem);
        } else {
            printLine(problem);
        }
        return 1;
    }
    if (command.action == CommandLine::Action::Headless)
        return runHeadless(*app, dataDir);
    return runWindow(static_cast<QApplication&>(*app), dataDir);
}
