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
// DIR is the search benchmark's database folder (built when missing). The
// day table the window creates for today is dropped at the end, so the
// folder stays usable for search-bench.
#include "app/ui/MainWindow.h"
#include "bench/search/BenchLogDatabase.h"
#include "bench/search/BenchStubs.h"
#include "intake/Receiver.h"
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
#include <QLineEdit>
#include <QUdpSocket>

#include <atomic>
#include <chrono>
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
    bool write(const QString&, const QString&) override { return false; }

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
    parser.addOptions({dirOption, rateOption, secondsOption, searchesOption});
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
        Receiver receiver(CoreServices{clock, readEngine, writeEngine,
                                       [] { return std::unique_ptr<UdpSocket>(new QtUdpSocket); },
                                       [](int intervalMs) { return std::unique_ptr<Timer>(new QtTimer(intervalMs)); },
                                       dir});
        MainWindow window(
            Services{clock, dialogs, clipboard, fileChooser, shell, settings, instance, receiver, readEngine, dir});
        if (!window.start() || !receiver.port().isBound()) {
            std::fprintf(stderr, "the window did not start listening\n");
            return 1;
        }
        window.show();
        runLoopUntil([&] { return !window.loadPending(); }, 10000);
        LoopLateness lateness;
        auto storedSoFar = [&] {
            return receiver.run([](ReceiverCore& core) { return core.storeCounters().stored; });
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
        window.shutDown();
    }
    readEngine.open(dbPath)->execute(QStringLiteral("DROP TABLE IF EXISTS %1").arg(quoteName(dayTableName(today))));

    std::printf("phase 1: %d s of datagrams at %.0f/s: sent %lld, stored %lld, lost %lld; window held at most %.1f ms\n",
                seconds, rate, sent[0], stored[0], sent[0] - stored[0], worstMs[0]);
    std::printf("phase 2: %d all-days searches of 3,000,000 rows in %.1f s, datagrams at 2000/s: sent %lld, stored "
                "%lld, lost %lld; window held at most %.1f ms\n",
                searches, searchSeconds, sent[1], stored[1], sent[1] - stored[1], worstMs[1]);
    return sent[0] == stored[0] && sent[1] == stored[1] ? 0 : 2;
}
