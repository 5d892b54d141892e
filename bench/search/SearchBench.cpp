// Search benchmark.
//
// Builds (or reuses) a log database of D days x N records in a folder, then
// times, on that database:
//   - an all-days search for a rare keyword (every row of every day is read),
//   - an all-days search for a common keyword (each day stops at 5000 rows),
//   - the same two through the search window, result list included,
//   - a load of the latest 500 records of the newest day.
//
//   search-bench [--dir DIR] [--days D] [--records N] [--repeat R]
//
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

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// A clock for the store; nothing measured here depends on the date.
class FixedClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime(QDate(2026, 12, 6), QTime(12, 0)); }
};

struct Measurement {
    QString what;
    qint64 lines = 0;
    double bestMs = 0;
    double medianMs = 0;
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
    return {what, lines, times.front(), times[times.size() / 2]};
}

qint64 searchThroughWindow(SearchWindow& window, const QString& keyword)
{
    window.findChild<QLineEdit*>(QStringLiteral("关键字"))->setText(keyword);
    window.findChild<QLineEdit*>(QStringLiteral("查询IP"))->clear();
    window.runSearch();
    // The search runs off the window's thread; its lines arrive through the event loop.
    while (window.searching())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return window.findChild<ExtentListWidget*>(QStringLiteral("txtoutput"))->count();
}

void printTable(const std::vector<Measurement>& rows)
{
    std::printf("\n%-48s %10s %10s %10s\n", "operation", "lines", "best ms", "median ms");
    for (const Measurement& row : rows)
        std::printf("%-48s %10lld %10.1f %10.1f\n", qPrintable(row.what), row.lines, row.bestMs, row.medianMs);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times log searches and a recent-records load."));
    parser.addHelpOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"), QStringLiteral("Folder of the database."), QStringLiteral("DIR"),
                                       QDir::temp().filePath(QStringLiteral("kiv-search-bench")));
    const QCommandLineOption daysOption(QStringLiteral("days"), QStringLiteral("Days (tables)."), QStringLiteral("D"), QStringLiteral("30"));
    const QCommandLineOption recordsOption(QStringLiteral("records"), QStringLiteral("Records per day."), QStringLiteral("N"),
                                           QStringLiteral("100000"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"), QStringLiteral("Runs per measurement."), QStringLiteral("R"),
                                          QStringLiteral("3"));
    parser.addOptions({dirOption, daysOption, recordsOption, repeatOption});
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

    FixedClock clock;
    LogDatabase database(engine, dir, clock);
    LogSearch search(database);
    const QStringList days = database.dayList();
    PrintingDialogs dialogs;
    DroppingClipboard clipboard;
    SearchWindow window(database, dialogs, clipboard);

    std::vector<Measurement> rows;
    rows.push_back(measure(QStringLiteral("all days, rare \"%1\"").arg(kBenchRareKeyword), repeat,
                           [&] { return qint64(search.find(days, kBenchRareKeyword, QString()).size()); }));
    rows.push_back(measure(QStringLiteral("all days, common \"%1\"").arg(kBenchCommonKeyword), repeat,
                           [&] { return qint64(search.find(days, kBenchCommonKeyword, QString()).size()); }));
    rows.push_back(measure(QStringLiteral("window, all days, rare"), repeat,
                           [&] { return searchThroughWindow(window, kBenchRareKeyword); }));
    rows.push_back(measure(QStringLiteral("window, all days, common"), repeat,
                           [&] { return searchThroughWindow(window, kBenchCommonKeyword); }));
    rows.push_back(measure(QStringLiteral("latest 500 of %1").arg(days.value(days.size() - 1)), repeat,
                           [&] { return qint64(database.loadRecentRecords(days.value(days.size() - 1)).size()); }));
    printTable(rows);
    return 0;
}
