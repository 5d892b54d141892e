#include "Clock.h"
#include "IniSettingsStore.h"
#include "Locale.h"
#include "MainWindow.h"
#include "QtDesktop.h"
#include "QtDialogs.h"
#include "QtUdpSocket.h"
#include "Receiver.h"
#include "SignalBridge.h"
#include "SingleInstance.h"
#include "SqliteEngine.h"
#include "Timer.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QSessionManager>
#include <QTextStream>
#include <tuple>

namespace {

void printLine(const QString& line) { QTextStream(stderr) << "kiv-syslog: " << line << Qt::endl; }

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kiv-syslog"));
    // Only the main window's close request ends the program.
    app.setQuitOnLastWindowClosed(false);

    const QString programDir = QCoreApplication::applicationDirPath();
    SystemClock clock;
    QtDialogs dialogs;
    QtClipboard clipboard;
    QtShell shell;
    IniSettingsStore settings(IniSettingsStore::defaultPath());
    QtSystemLocale locale;
    LockFileSingleInstance singleInstance(LockFileSingleInstance::defaultLockPath(programDir));
    SqliteEngine readEngine(5000);
    SqliteEngine writeEngine(250);

    Receiver receiver(CoreServices{clock, readEngine, writeEngine,
                                   [] { return std::unique_ptr<UdpSocket>(new QtUdpSocket); },
                                   [](int intervalMs) { return std::unique_ptr<Timer>(new QtTimer(intervalMs)); },
                                   programDir});
    QObject::connect(&receiver, &ReceiverHandle::problemReported, &app, printLine);

    Services services{clock, dialogs, clipboard, shell, settings, locale, singleInstance, receiver, readEngine,
                      programDir};
    MainWindow window(services);
    dialogs.setParent(&window);
    dialogs.setHeadless(QGuiApplication::platformName() == QLatin1String("offscreen"));

    // From here on a termination request runs the orderly shutdown, also while
    // the startup is still asking something. The quit is queued so that it
    // takes effect even when it is requested before the event loop runs.
    QObject::connect(&window, &MainWindow::shutDown, &app, [&receiver] {
        printLine(QStringLiteral("stopped: ") + receiver.summaryLine());
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    SignalBridge signals_([&window] {
        window.close();
        window.Form_QueryUnload();
    });
    // The session ending (the user logging off) is a close request too; any
    // other quit still writes what is queued.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window](QSessionManager&) {
        window.close();
        window.Form_QueryUnload();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, [&window] { window.Form_QueryUnload(); });

    if (!window.Form_Load())
        return window.isShutDown() ? 0 : 1;

    const auto [port, bound, bufferBytes] = receiver.run([](ReceiverCore& core) {
        return std::tuple{core.port().localPort(), core.port().isBound(), core.receiveBufferBytes()};
    });
    printLine(QStringLiteral("database %1; UDP port %2%3; receive buffer %4 KiB")
                  .arg(QDir::toNativeSeparators(QDir(programDir).filePath(QStringLiteral("syslog.mdb"))))
                  .arg(port)
                  .arg(bound ? QString() : QStringLiteral(" (not bound)"))
                  .arg(bufferBytes / 1024));
    window.show();
    return app.exec();
}
