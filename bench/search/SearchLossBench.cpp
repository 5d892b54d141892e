// Datagrams lost while a search holds the window.
//
// Runs the real main window in this process (real UDP socket, real write
// path) on the search benchmark's database, sends syslog datagrams at a fixed
// rate from a sending thread, and meanwhile runs all-days searches through the
// real search window, which hold the window for their whole length. When the
// searches are done the sending stops, the window shuts down as on a close
// request, and the rows stored are compared with the datagrams sent.
//
//   search-loss-bench [--dir DIR] [--rate R] [--searches S]
//
// DIR is the search benchmark's database folder (built by search-bench when
// missing). The day table the window creates for today is dropped at the end,
// so the folder stays usable for search-bench.
#include "BenchLogDatabase.h"
#include "BenchStubs.h"
#include "Clock.h"
#include "Desktop.h"
#include "Dialogs.h"
#include "LogDatabase.h"
#include "Locale.h"
#include "MainWindow.h"
#include "QtFileChooser.h"
#include "QtUdpSocket.h"
#include "Receiver.h"
#include "SearchWindow.h"
#include "SettingsStore.h"
#include "SingleInstance.h"
#include "SqliteEngine.h"
#include "Timer.h"

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
class EnglishLocale final : public SystemLocale {
public:
    int localeId() const override { return 1033; }
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

long long rowsOf(DbEngine& engine, const QString& dbPath, const QString& day)
{
    auto connection = engine.open(dbPath);
    auto count = connection->query(QStringLiteral("SELECT count(*) AS n FROM %1").arg(quoteName(dayTableName(day))));
    return count->next() ? count->text(QStringLiteral("n"))->toLongLong() : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Counts datagrams lost while searches hold the window."));
    parser.addHelpOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"), QStringLiteral("Folder of the database."),
                                       QStringLiteral("DIR"), QDir::temp().filePath(QStringLiteral("kiv-search-bench")));
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("Datagrams per second."),
                                        QStringLiteral("R"), QStringLiteral("2000"));
    const QCommandLineOption searchesOption(QStringLiteral("searches"), QStringLiteral("All-days searches to run."),
                                            QStringLiteral("S"), QStringLiteral("6"));
    parser.addOptions({dirOption, rateOption, searchesOption});
    parser.process(app);
    const QString dir = parser.value(dirOption);
    const double rate = parser.value(rateOption).toDouble();
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
    EnglishLocale locale;
    AlwaysFirst instance;
    const QString today = clock.now().toString(QStringLiteral("yyyy-MM-dd"));
    const QString dbPath = QDir(dir).filePath(QStringLiteral("syslog.mdb"));
    long long sent = 0;
    long long stored = 0;
    double searchSeconds = 0;
    {
        Receiver receiver(CoreServices{clock, readEngine, writeEngine,
                                       [] { return std::unique_ptr<UdpSocket>(new QtUdpSocket); },
                                       [](int intervalMs) { return std::unique_ptr<Timer>(new QtTimer(intervalMs)); },
                                       dir});
        MainWindow window(
            Services{clock, dialogs, clipboard, fileChooser, shell, settings, locale, instance, receiver, readEngine, dir});
        if (!window.Form_Load() || !receiver.port().isBound()) {
            std::fprintf(stderr, "the window did not start listening\n");
            return 1;
        }
        const long long before = rowsOf(readEngine, dbPath, today);
        std::atomic<bool> stop{false};
        std::thread sender([&] { sent = sendUntilStopped(port, rate, stop); });

        window.搜索_Click();
        SearchWindow* search = window.searchWindow();
        auto* keyword = search->findChild<QLineEdit*>(QStringLiteral("关键字"));
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < searches; ++i) {
            keyword->setText(i % 2 ? kBenchRareKeyword : kBenchCommonKeyword);
            search->给我搜_Click(); // holds the window until it ends
            QApplication::processEvents();
        }
        searchSeconds = timer.nsecsElapsed() / 1e9;
        stop = true;
        sender.join();
        window.Form_QueryUnload(); // closes the socket after handing over what it holds
        stored = rowsOf(readEngine, dbPath, today) - before;
    }
    readEngine.open(dbPath)->execute(QStringLiteral("DROP TABLE IF EXISTS %1").arg(quoteName(dayTableName(today))));

    std::printf("%d all-days searches held the window for %.1f s; datagrams at %.0f/s: sent %lld, stored %lld, lost %lld\n",
                searches, searchSeconds, rate, sent, stored, sent - stored);
    return sent == stored ? 0 : 2;
}
