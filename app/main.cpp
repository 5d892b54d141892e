#include "Clock.h"
#include "Desktop.h"
#include "Dialogs.h"
#include "IniSettingsStore.h"
#include "Locale.h"
#include "MainWindow.h"
#include "QtUdpSocket.h"
#include "SignalBridge.h"
#include "SingleInstance.h"
#include "SqliteEngine.h"
#include "Timer.h"

#include <QApplication>
#include <QGuiApplication>
#include <QSessionManager>
#include <QTextStream>

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
    QtUdpSocket socket;
    SqliteEngine readEngine(5000);
    SqliteEngine writeEngine(250);

    Services services{clock, dialogs, clipboard, shell, settings, locale, singleInstance, socket,
                      readEngine, writeEngine,
                      [](int intervalMs) { return std::unique_ptr<Timer>(new QtTimer(intervalMs)); },
                      programDir};
    MainWindow window(services);
    dialogs.setParent(&window);
    dialogs.setHeadless(QGuiApplication::platformName() == QLatin1String("offscreen"));

    // From here on a termination request runs the orderly shutdown, also while
    // the startup is still asking something. The quit is queued so that it
    // takes effect even when it is requested before the event loop runs.
    QObject::connect(&window, &MainWindow::shutDown, &app,
                     [] { QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection); });
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

#ifdef Q_OS_LINUX
    // Linux reports twice the buffer it granted (the rest is its bookkeeping).
    const int receiveBufferKiB = socket.receiveBufferBytes() / 2 / 1024;
#else
    const int receiveBufferKiB = socket.receiveBufferBytes() / 1024;
#endif
    QTextStream(stderr) << "kiv-syslog: database " << programDir << "/syslog.mdb; UDP port "
                        << socket.localPort() << (socket.isBound() ? "" : " (not bound)")
                        << "; receive buffer " << receiveBufferKiB << " KiB\n";
    window.show();
    return app.exec();
}
