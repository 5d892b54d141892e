// Search benchmark.
//
// Builds (or reuses) a log database of D days x N records in a folder, then
// times, on that database, in one run:
//   - the plain per-day query of every day (the search without an index), for
//     a rare keyword;
//   - the search index of every closed day: its build, unless the folder
//     already holds one that fits, and its size;
//   - with the index: all-days searches for a rare keyword, a common keyword
//     (each day stops at 5000 rows) and a rare address fragment, through the
//     search engine and through the search window (result list filled), and a
//     one-day search for the rare keyword;
//   - how long a running search takes to stop once told, at its worst, in the
//     engine and through the window (replaced by a new search, window closed);
//   - the peak resident memory while the searches run;
//   - a load of the latest 500 records of the newest day.
//
//   search-bench [--dir DIR] [--days D] [--records N] [--repeat R] [--indexed-only]
//
// --indexed-only leaves the plain query out (to profile the indexed searches).
// Without --dir the database lives in <temp>/kiv-search-bench and is reused
// by later runs.

#include "bench/search/BenchLogDatabase.h"
#include "bench/search/BenchStubs.h"
#include "platform/Clock.h"
#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/SqliteEngine.h"
#include "platform/ui/ExtentListWidget.h"
#include "search/LogSearch.h"
#include "search/ui/SearchWindow.h"
#include "store/LogDatabase.h"
#include "store/SearchIndex.h"
#include "store/SearchIndexBuilder.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A clock for the store: the day after the last generated one, so every
// generated day is closed.
class FixedClock final : public Clock {
public:
    explicit FixedClock(const QDate& today) : today_(today) {}
    QDateTime now() const override { return QDateTime(today_, QTime(12, 0)); }

private:
    QDate today_;
};

struct Measurement {
    QString what;
    qint64 lines = 0;
    double bestMs = 0;
    double worstMs = 0;
};

// Runs the operation repeat times; it returns how many lines it produced.
Measurement measure(const QString& what, int repeat, const std::function<qint64()>& operation)
{
    std::vector<double> times;
    qint64 lines = 0;
    for (int run = 0; run < repeat; ++run) {
        QElapsedTimer timer;
        timer.start();
        lines = operation();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return {what, lines, times.front(), times.back()};
}

qint64 searchThroughWindow(SearchWindow& window, const QString& day, const QString& keyword, const QString& ip)
{
    auto* days = window.findChild<QComboBox*>(QStringLiteral("搜索日期"));
    days->setCurrentIndex(days->findText(day));
    window.findChild<QLineEdit*>(QStringLiteral("关键字"))->setText(keyword);
    window.findChild<QLineEdit*>(QStringLiteral("查询IP"))->setText(ip);
    window.runSearch();
    // The search runs off the window's thread; its lines arrive through the
    // event loop, which sleeps in between as the program's own would (the
    // search's end is one more event, so it wakes for it).
    while (window.searching())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return window.findChild<ExtentListWidget*>(QStringLiteral("txtoutput"))->count();
}

// The plain query of every day, as the search ran before the index.
qint64 plainSearch(LogDatabase& database, const QStringList& days, const QString& keyword)
{
    const auto connection = database.openConnection();
    const SearchCondition condition = buildSearchCondition(keyword, QString());
    qint64 lines = 0;
    for (const QString& day : days) {
        const auto rows = connection->query(daySearchSql(day, condition.text), condition.params);
        while (rows->next())
            ++lines;
    }
    return lines;
}

// How long a running search takes to end once told to stop: a search whose
// pattern makes the store work hard on every row of every day, stopped after
// different times; the worst wait.
double worstStopMs(LogDatabase& database, const QStringList& days)
{
    LogSearch search(database);
    // Every block holds an "e" and a "q", but no message an "e" after its "q".
    const QString slowPattern = QStringLiteral("e%q%e");
    double worst = 0;
    for (const int afterMs : {30, 170, 420, 650, 900}) {
        std::atomic<bool> stop{false};
        std::atomic<qint64> stoppedAtNs{0};
        QElapsedTimer clock;
        clock.start();
        std::thread running([&] {
            LogSearch::Progress progress;
            progress.shouldStop = [&stop] { return stop.load(); };
            search.run(days, SearchRequest{slowPattern, QString(), {}}, progress);
            stoppedAtNs = clock.nsecsElapsed();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        const qint64 toldAtNs = clock.nsecsElapsed();
        stop = true;
        running.join();
        worst = std::max(worst, (stoppedAtNs - toldAtNs) / 1e6);
    }
    return worst;
}

// The same through the search window, at its worst over a few moments: a
// search that reads every row of every day is running when a one-day search
// for the rare keyword replaces it (how long until the new one is listed), or
// when the window is closed (how long the closing waits for the running
// search to end).
struct WindowStopTimes {
    double replacedMs = 0;
    double closedMs = 0;
};

WindowStopTimes worstWindowStops(LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard, const QString& oneDay)
{
    const auto startSlowSearch = [&](SearchWindow& window) {
        auto* days = window.findChild<QComboBox*>(QStringLiteral("搜索日期"));
        days->setCurrentIndex(days->findText(SearchWindow::allDaysEntry()));
        window.findChild<QLineEdit*>(QStringLiteral("关键字"))->setText(QStringLiteral("e%q%e"));
        window.findChild<QLineEdit*>(QStringLiteral("查询IP"))->clear();
        window.runSearch();
    };
    const auto runFor = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    WindowStopTimes worst;
    for (const int afterMs : {100, 450, 900}) {
        {
            SearchWindow window(database, dialogs, clipboard);
            startSlowSearch(window);
            runFor(afterMs);
            QElapsedTimer timer;
            timer.start();
            searchThroughWindow(window, oneDay, kBenchRareKeyword, QString());
            worst.replacedMs = std::max(worst.replacedMs, timer.nsecsElapsed() / 1e6);
        }
        auto window = std::make_unique<SearchWindow>(database, dialogs, clipboard);
        startSlowSearch(*window);
        runFor(afterMs);
        QElapsedTimer timer;
        timer.start();
        window.reset();
        worst.closedMs = std::max(worst.closedMs, timer.nsecsElapsed() / 1e6);
    }
    return worst;
}

// The peak resident memory since the last reset, in MiB.
double peakResidentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

void resetPeakResident()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

// Builds the index of every day that has none that fits; returns the seconds it took.
double ensureIndex(LogDatabase& database, const QStringList& days)
{
    QElapsedTimer timer;
    timer.start();
    SearchIndex index(database.programDir(), SearchIndex::Mode::Write);
    const auto connection = database.openConnection();
    const std::function<bool()> never = [] { return false; };
    for (const QString& day : days) {
        const QString table = dayTableName(day);
        if (const std::optional<IndexedDay> known = index.day(table); known && checkIndexedDay(*connection, *known).valid)
            continue;
        QElapsedTimer dayTimer;
        dayTimer.start();
        indexDayTable(*connection, table, index, never);
        std::printf("  indexed %s in %.1f s\n", qPrintable(day), dayTimer.nsecsElapsed() / 1e9);
        std::fflush(stdout);
    }
    return timer.nsecsElapsed() / 1e9;
}

void printTable(const std::vector<Measurement>& rows)
{
    std::printf("\n%-52s %10s %10s %10s\n", "operation", "lines", "best ms", "worst ms");
    for (const Measurement& row : rows)
        std::printf("%-52s %10lld %10.1f %10.1f\n", qPrintable(row.what), row.lines, row.bestMs, row.worstMs);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times log searches, with and without the search index."));
    parser.addHelpOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"), QStringLiteral("Folder of the database."), QStringLiteral("DIR"),
                                       QDir::temp().filePath(QStringLiteral("kiv-search-bench")));
    const QCommandLineOption daysOption(QStringLiteral("days"), QStringLiteral("Days (tables)."), QStringLiteral("D"), QStringLiteral("30"));
    const QCommandLineOption recordsOption(QStringLiteral("records"), QStringLiteral("Records per day."), QStringLiteral("N"),
                                           QStringLiteral("100000"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"), QStringLiteral("Runs per measurement."), QStringLiteral("R"),
                                          QStringLiteral("3"));
    const QCommandLineOption indexedOnlyOption(QStringLiteral("indexed-only"), QStringLiteral("Leave the plain query out."));
    parser.addOptions({dirOption, daysOption, recordsOption, repeatOption, indexedOnlyOption});
    parser.process(app);

    BenchDatabaseShape shape;
    shape.days = qMax(1, parser.value(daysOption).toInt());
    shape.recordsPerDay = qMax(1, parser.value(recordsOption).toInt());
    const int repeat = qMax(1, parser.value(repeatOption).toInt());
    const QString dir = parser.value(dirOption);

    SqliteEngine engine;
    try {
        QElapsedTimer generation;
        generation.start();
        std::printf("database: %s (%d days x %d records)\n", qPrintable(QDir(dir).filePath(QStringLiteral("syslog.mdb"))),
                    shape.days, shape.recordsPerDay);
        std::fflush(stdout);
        ensureBenchLogDatabase(engine, dir, shape, [](const QString& day) {
            std::printf("  generated %s\n", qPrintable(day));
            std::fflush(stdout);
        });
        std::printf("ready after %.1f s\n", generation.nsecsElapsed() / 1e9);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot prepare the database: %s\n", e.what());
        return 1;
    }

    FixedClock clock(shape.firstDay.addDays(shape.days));
    LogDatabase database(engine, dir, clock);
    LogSearch search(database);
    const QStringList days = database.dayList();
    const QString lastDay = days.value(days.size() - 1);
    const QString allDays = SearchWindow::allDaysEntry();
    PrintingDialogs dialogs;
    DroppingClipboard clipboard;

    std::vector<Measurement> rows;
    if (!parser.isSet(indexedOnlyOption))
        rows.push_back(measure(QStringLiteral("plain query, all days, rare \"%1\"").arg(kBenchRareKeyword), repeat,
                               [&] { return plainSearch(database, days, kBenchRareKeyword); }));

    double indexSeconds = 0;
    try {
        indexSeconds = ensureIndex(database, days);
    } catch (const DbError& error) {
        std::fprintf(stderr, "cannot build the search index: %s\n", qPrintable(error.text()));
        return 1;
    }
    const qint64 databaseBytes = QFileInfo(database.path()).size();
    const qint64 indexBytes = QFileInfo(SearchIndex::pathIn(dir)).size();

    resetPeakResident();
    SearchWindow window(database, dialogs, clipboard);
    const auto engineSearch = [&](const QStringList& which, const QString& keyword, const QString& ip) {
        return qint64(search.find(which, keyword, ip).size());
    };
    rows.push_back(measure(QStringLiteral("indexed, all days, rare \"%1\"").arg(kBenchRareKeyword), repeat,
                           [&] { return engineSearch(days, kBenchRareKeyword, QString()); }));
    rows.push_back(measure(QStringLiteral("indexed, all days, common \"%1\"").arg(kBenchCommonKeyword), repeat,
                           [&] { return engineSearch(days, kBenchCommonKeyword, QString()); }));
    rows.push_back(measure(QStringLiteral("indexed, all days, address \"%1\"").arg(kBenchRareAddress), repeat,
                           [&] { return engineSearch(days, QString(), kBenchRareAddress); }));
    rows.push_back(measure(QStringLiteral("window, all days, rare"), repeat,
                           [&] { return searchThroughWindow(window, allDays, kBenchRareKeyword, QString()); }));
    rows.push_back(measure(QStringLiteral("window, all days, common"), repeat,
                           [&] { return searchThroughWindow(window, allDays, kBenchCommonKeyword, QString()); }));
    rows.push_back(measure(QStringLiteral("window, all days, rare address"), repeat,
                           [&] { return searchThroughWindow(window, allDays, QString(), kBenchRareAddress); }));
    rows.push_back(measure(QStringLiteral("window, one day (%1), rare").arg(lastDay), repeat,
                           [&] { return searchThroughWindow(window, lastDay, kBenchRareKeyword, QString()); }));
    const double peakMiB = peakResidentMiB();
    const double stopMs = worstStopMs(database, days);
    const WindowStopTimes windowStops = worstWindowStops(database, dialogs, clipboard, lastDay);
    rows.push_back(measure(QStringLiteral("latest 500 of %1").arg(lastDay), repeat,
                           [&] { return qint64(database.loadRecentRecords(lastDay).size()); }));
    printTable(rows);
    std::printf("\nsearch index: %.1f MiB for a database of %.1f MiB (%.1f%%); built in %.1f s this run\n",
                indexBytes / 1048576.0, databaseBytes / 1048576.0, 100.0 * double(indexBytes) / double(databaseBytes),
                indexSeconds);
    std::printf("peak resident memory while searching: %.1f MiB\n", peakMiB);
    std::printf("a running search stops within %.1f ms of being told (worst of 5)\n", stopMs);
    std::printf("window: a running all-days search replaced by a one-day search, listed after %.1f ms;\n"
                "        the window closed during a running search waits %.1f ms for it (worst of 3 each)\n",
                windowStops.replacedMs, windowStops.closedMs);
    return 0;
}
