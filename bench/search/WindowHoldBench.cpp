// How long the window's thread is held, and how many datagrams are lost,
// while datagrams pour in and while all-days searches run.
//
// Runs the real main window in this process (real UDP socket, real receiver
// on its own thread, real write path) on the search benchmark's database
// (30 days of 100,000 records: 3,000,000 rows), and measures the lateness of a
// zero-interval timer on the window's thread, which fires at every turn of
// its event loop: the longest gap between two firings is the longest time the
// window could not paint or answer.
//
//   window-hold-bench [--dir DIR] [--rate R] [--seconds S] [--searches N]
//
// Phase 1 sends R datagrams a second (default 100,000) for S seconds.
// Phase 2 runs N all-days searches for the common keyword through the real
// search window while 2,000 datagrams a second arrive.
// Phase 3 attaches another real window to a real service (kiv-syslogd, in a
// temporary folder, 1,000 datagrams a second), stops the service with
// SIGSTOP, presses F3 and F2 (answered by a scripted prompt) and opens the
// cleaner, at once and again once the window has noticed, lets the service go
// on after 3 s and closes the cleaner it then opens.
// DIR is the search benchmark's database folder (built when missing). The
// day table the window creates for today is dropped at the end, so the
// folder stays usable for search-bench.
#include "app/ui/MainWindow.h"
#include "bench/search/BenchLogDatabase.h"
#include "bench/search/BenchStubs.h"
#include "intake/ReceiverHost.h"
#include "intake/ReceiverLink.h"
#include "intake/ReceiverThread.h"
#include "platform/Clock.h"
#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/QtUdpSocket.h"
#include "platform/ui/QtFileChooser.h"
#include "search/ui/SearchWindow.h"
#include "store/LogDatabase.h"

#include <QTimer>
#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "platform/SqliteEngine.h"
#include "platform/Timer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QWidget>
#include <QWindow>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class NoShell final : public Shell {
public:
    bool openUrl(const QString&) override { return false; }
};
class PortSetting final : public SettingsStore {
public:
    explicit PortSetting(int port) : port_(port) {}
    QString read(const QString& name) const override
    {
        return name == QLatin1String("port") ? QString::number(port_) : QString();
    }
    bool write(const QString&, const QString&) override { return true; }

private:
    int port_;
};
// Prints messages; the port prompt is answered with the port given, and counted.
class AnsweringDialogs final : public Dialogs {
public:
    explicit AnsweringDialogs(int port) : port_(port) {}
    void message(const QString& text) override
    {
        ++messages;
        std::printf("message: %s\n", qPrintable(text));
    }
    void warning(const QString& text) override { message(text); }
    QString prompt(const QString&, const QString&, const QString&) override
    {
        ++prompts;
        return QString::number(port_);
    }
    int messages = 0;
    int prompts = 0;

private:
    int port_;
};
class AlwaysFirst final : public SingleInstance {
public:
    bool tryAcquire() override { return true; }
};

int freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

// Sends paced datagrams until told to stop; returns how many it sent.
long long sendUntilStopped(int port, double rate, const std::atomic<bool>& stop)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto start = std::chrono::steady_clock::now();
    long long sent = 0;
    while (!stop.load()) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (const long long due = static_cast<long long>(elapsed * rate) + 1; sent < due; ++sent) {
            const QByteArray datagram = "<134>edge-router-01 kernel: info: link state change seq " + QByteArray::number(sent);
            ::sendto(fd, datagram.constData(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(fd);
    return sent;
}

// The longest gap between two turns of the event loop, in milliseconds.
class LoopLateness {
public:
    LoopLateness()
    {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            if (last_ >= 0)
                worstNs_ = std::max(worstNs_, now - last_);
            last_ = now;
        });
    }
    void start()
    {
        worstNs_ = 0;
        last_ = -1;
        clock_.start();
        timer_.start();
    }
    double stopMs()
    {
        timer_.stop();
        return worstNs_ / 1e6;
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1;
    qint64 worstNs_ = 0;
};

// Runs the event loop until done() or the time is up.
template <typename Done>
void runLoopUntil(Done done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Runs call on the receiver's thread and returns its result: the benchmark
// reads the receiver's counts this way, the window never does.
template <typename Call>
auto onReceiverThread(ReceiverThread& receiver, Call call)
{
    decltype(call(*receiver.core())) result{};
    QMetaObject::invokeMethod(
        receiver.core(), [&] { result = call(*receiver.core()); }, Qt::BlockingQueuedConnection);
    return result;
}

// A key press as the user makes it: to the window, which passes it on to
// whatever has the focus.
void press(QWidget& window, Qt::Key key)
{
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(window.windowHandle(), &event);
}

struct StoppedServiceFigures {
    // The longest hold while the service was stopped, and after it went on.
    double worstMs = -1;
    double worstAfterMs = -1;
    qint64 noticedAfterMs = -1;
    int refusals = 0;
    bool cleanerOpened = false;
    bool filterStored = false;
};

// Phase 3: a real window attached to a real service that is stopped
// meanwhile. The window's event loop is measured from the stop to the end.
StoppedServiceFigures runStoppedServicePhase(const QString& servicePath, Clock& clock, DbEngine& readEngine)
{
    StoppedServiceFigures figures;
    QTemporaryDir dataDir;
    QTemporaryDir configDir;
    const int port = freePort();
    {
        QFile conf(QDir(configDir.path()).filePath(QStringLiteral("varare.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("[General]\nport=%1\n").arg(port).toUtf8());
    }
    QProcess service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), configDir.path());
    service.setProcessEnvironment(env);
    service.setReadChannel(QProcess::StandardError);
    service.start(servicePath, {QStringLiteral("--dir"), dataDir.path()});
    QByteArray said;
    while (!said.contains("windows attach on") && service.waitForReadyRead(30000))
        said += service.readAllStandardError();
    if (!said.contains("windows attach on")) {
        std::fprintf(stderr, "the service did not start: %s\n", said.constData());
        return figures;
    }
    const auto pid = static_cast<pid_t>(service.processId());

    ReceiverLink link(std::make_unique<QtTimer>(500));
    link.attachToService(ReceiverHost::socketPath(dataDir.path()));
    runLoopUntil([&] { return link.isAttached(); }, 10000);
    AnsweringDialogs dialogs(port);
    DroppingClipboard clipboard;
    QtFileChooser fileChooser;
    NoShell shell;
    PortSetting settings(port);
    AlwaysFirst instance;
    MainWindow window(
        Services{clock, dialogs, clipboard, fileChooser, shell, settings, instance, link, readEngine, dataDir.path()});
    bool running = false;
    QObject::connect(&window, &MainWindow::startupEnded, [&running](bool ok) { running = ok; });
    window.start();
    runLoopUntil([&] { return running; }, 10000);
    window.show();
    runLoopUntil([&] { return !window.loadPending(); }, 10000);
    QElapsedTimer sinceStop;
    QObject::connect(&link, &ReceiverLink::answering, [&](bool answers) {
        if (!answers && figures.noticedAfterMs < 0)
            figures.noticedAfterMs = sinceStop.elapsed();
    });

    std::atomic<bool> stopSending{false};
    std::thread sender([&] { sendUntilStopped(port, 1000, stopSending); });
    runLoopUntil([] { return false; }, 1000);
    LoopLateness lateness;
    lateness.start();
    ::kill(pid, SIGSTOP);
    sinceStop.start();
    auto useEverything = [&] {
        press(window, Qt::Key_F3);
        press(window, Qt::Key_F2);
        window.openCleaner();
    };
    useEverything(); // before the window can know
    runLoopUntil([&] { return figures.noticedAfterMs >= 0; }, 10000);
    const int messagesBefore = dialogs.messages;
    useEverything(); // refused at once
    figures.refusals = dialogs.messages - messagesBefore;
    runLoopUntil([] { return false; }, int(std::max<qint64>(0, 3000 - sinceStop.elapsed())));
    figures.worstMs = lateness.stopMs();
    lateness.start();
    ::kill(pid, SIGCONT);
    runLoopUntil([&] { return window.cleanerWindow() != nullptr; }, 10000);
    figures.cleanerOpened = window.cleanerWindow() != nullptr;
    if (figures.cleanerOpened)
        reinterpret_cast<QWidget*>(window.cleanerWindow())->close();
    runLoopUntil([] { return false; }, 1000);
    figures.worstAfterMs = lateness.stopMs();
    stopSending = true;
    sender.join();

    window.shutDown();
    service.terminate();
    service.waitForFinished(30000);
    QFile conf(QDir(configDir.path()).filePath(QStringLiteral("varare.conf")));
    conf.open(QIODevice::ReadOnly);
    figures.filterStored = conf.readAll().contains("msgfilter=0");
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures how long intake and searches hold the window."));
    parser.addHelpOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"), QStringLiteral("Folder of the database."),
                                       QStringLiteral("DIR"), QDir::temp().filePath(QStringLiteral("kiv-search-bench")));
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("Datagrams per second in phase 1."),
                                        QStringLiteral("R"), QStringLiteral("100000"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Length of phase 1."),
                                           QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption searchesOption(QStringLiteral("searches"), QStringLiteral("All-days searches in phase 2."),
                                            QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption serviceOption(QStringLiteral("service"), QStringLiteral("The service program (phase 3)."),
                                           QStringLiteral("PATH"), QStringLiteral(KIV_SERVICE_PATH));
    parser.addOptions({dirOption, rateOption, secondsOption, searchesOption, serviceOption});
    parser.process(app);
    const QString dir = parser.value(dirOption);
    const double rate = parser.value(rateOption).toDouble();
    const int seconds = qMax(1, parser.value(secondsOption).toInt());
    const int searches = qMax(1, parser.value(searchesOption).toInt());

    SqliteEngine readEngine(5000);
    SqliteEngine writeEngine(250);
    try {
        ensureBenchLogDatabase(readEngine, dir, BenchDatabaseShape{});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot prepare the database: %s\n", e.what());
        return 1;
    }

    const int port = freePort();
    SystemClock clock;
    PrintingDialogs dialogs;
    DroppingClipboard clipboard;
    QtFileChooser fileChooser;
    NoShell shell;
    PortSetting settings(port);
    AlwaysFirst instance;
    const QString today = clock.now().toString(QStringLiteral("yyyy-MM-dd"));
    const QString dbPath = QDir(dir).filePath(QStringLiteral("syslog.mdb"));
    long long sent[2] = {0, 0};
    long long stored[2] = {0, 0};
    double worstMs[2] = {0, 0};
    double searchSeconds = 0;
    {
        ReceiverThread receiver(CoreServices{clock, readEngine, writeEngine,
                                             [] { return std::unique_ptr<UdpSocket>(new QtUdpSocket); },
                                             [](int ms) { return std::unique_ptr<Timer>(new QtTimer(ms)); }, dir});
        ReceiverLink link(std::make_unique<QtTimer>(500));
        const Result<qintptr> windowEnd = receiver.connectWindow();
        if (!windowEnd) {
            std::fprintf(stderr, "%s\n", qPrintable(windowEnd.error()));
            return 1;
        }
        link.attachInProcess(*windowEnd);
        runLoopUntil([&] { return link.isAttached(); }, 10000);
        MainWindow window(
            Services{clock, dialogs, clipboard, fileChooser, shell, settings, instance, link, readEngine, dir});
        bool running = false;
        QObject::connect(&window, &MainWindow::startupEnded, [&running](bool ok) { running = ok; });
        window.start();
        runLoopUntil([&] { return running && link.receiver().portBound(); }, 10000);
        if (!running || !link.receiver().portBound()) {
            std::fprintf(stderr, "the window did not start listening\n");
            return 1;
        }
        window.show();
        runLoopUntil([&] { return !window.loadPending(); }, 10000);
        LoopLateness lateness;
        auto storedSoFar = [&] {
            return onReceiverThread(receiver, [](ReceiverCore& core) { return core.storeCounters().stored; });
        };

        // Phase 1: a flood of datagrams.
        {
            const long long before = storedSoFar();
            std::atomic<bool> stop{false};
            std::thread sender([&] { sent[0] = sendUntilStopped(port, rate, stop); });
            lateness.start();
            QElapsedTimer phase;
            phase.start();
            runLoopUntil([] { return false; }, seconds * 1000);
            stop = true;
            sender.join();
            // Measured while the datagrams came; asking the receiver for its
            // counts below waits on its thread, which the window never does.
            worstMs[0] = lateness.stopMs();
            runLoopUntil([&] { return storedSoFar() - before >= sent[0]; }, 30000);
            stored[0] = storedSoFar() - before;
        }

        // Phase 2: all-days searches through the real search window.
        {
            const long long before = storedSoFar();
            std::atomic<bool> stop{false};
            std::thread sender([&] { sent[1] = sendUntilStopped(port, 2000, stop); });
            window.openSearch();
            SearchWindow* search = window.searchWindow();
            auto* keyword = search->findChild<QLineEdit*>(QStringLiteral("关键字"));
            lateness.start();
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < searches; ++i) {
                keyword->setText(kBenchCommonKeyword);
                search->runSearch();
                runLoopUntil([&] { return !search->searching(); }, 120000);
            }
            searchSeconds = timer.nsecsElapsed() / 1e9;
            stop = true;
            sender.join();
            worstMs[1] = lateness.stopMs();
            runLoopUntil([&] { return storedSoFar() - before >= sent[1]; }, 30000);
            stored[1] = storedSoFar() - before;
        }
        bool finished = false;
        QObject::connect(&window, &MainWindow::shutDownFinished, [&finished] { finished = true; });
        window.shutDown();
        runLoopUntil([&] { return finished; }, 30000);
    }
    readEngine.open(dbPath)->execute(QStringLiteral("DROP TABLE IF EXISTS %1").arg(quoteName(dayTableName(today))));
    const StoppedServiceFigures stopped = runStoppedServicePhase(parser.value(serviceOption), clock, readEngine);

    std::printf("phase 1: %d s of datagrams at %.0f/s: sent %lld, stored %lld, lost %lld; window held at most %.1f ms\n",
                seconds, rate, sent[0], stored[0], sent[0] - stored[0], worstMs[0]);
    std::printf("phase 2: %d all-days searches of 3,000,000 rows in %.1f s, datagrams at 2000/s: sent %lld, stored "
                "%lld, lost %lld; window held at most %.1f ms\n",
                searches, searchSeconds, sent[1], stored[1], sent[1] - stored[1], worstMs[1]);
    std::printf("phase 3: service stopped for 3 s under 1000 datagrams/s: noticed after %lld ms; F3, F2 and the "
                "cleaner then refused %d times; window held at most %.1f ms while it was stopped; cleaner opened once "
                "it went on: %s; F3 stored: %s; window held at most %.1f ms from then to the end\n",
                static_cast<long long>(stopped.noticedAfterMs), stopped.refusals, stopped.worstMs,
                stopped.cleanerOpened ? "yes" : "no", stopped.filterStored ? "yes" : "no", stopped.worstAfterMs);
    const bool stoppedOk = stopped.worstMs >= 0 && stopped.noticedAfterMs >= 0 && stopped.cleanerOpened;
    return sent[0] == stored[0] && sent[1] == stored[1] && stoppedOk ? 0 : 2;
}
