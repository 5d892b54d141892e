// CSV export benchmark.
//
// Builds a log database with one day of N records (the search benchmark's
// generated records) in a temporary folder, then times exportRecords() of
// that day into a file, R times, for every record and for a common keyword
// (about half of them). Each export's file is checked for the expected number
// of lines.
//
//   export-bench [--records N] [--runs R] [--dir DIR]
//
// Without --dir the database lives in a temporary folder removed at the end;
// with it, a database of the same shape there is reused.

#include "bench/search/BenchLogDatabase.h"
#include "platform/SqliteEngine.h"
#include "search/RecordExport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

qint64 linesIn(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 lines = 0;
    while (!file.atEnd()) {
        const QByteArray block = file.read(1 << 20);
        lines += block.count('\n');
    }
    return lines;
}

struct Run {
    double seconds = 0;
    qint64 bytes = 0;
    qint64 records = 0;
};

// One timed export into outPath; exits the program when the export fails.
Run timedExport(const QString& dir, const QString& day, const QString& keyword, const QString& outPath)
{
    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(outPath), qPrintable(out.errorString()));
        std::exit(1);
    }
    QElapsedTimer timer;
    timer.start();
    const Result<> exported = exportRecords(dir, day, keyword, QString(), out);
    out.close();  // the last block reaches the file inside the measurement
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!exported) {
        std::fprintf(stderr, "export failed: %s\n", qPrintable(exported.error()));
        std::exit(1);
    }
    return {seconds, QFileInfo(outPath).size(), linesIn(outPath) - 1};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times the CSV export of one day of records."));
    parser.addHelpOption();
    const QCommandLineOption recordsOption(QStringLiteral("records"), QStringLiteral("Records of the day."),
                                           QStringLiteral("N"), QStringLiteral("1000000"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Exports per measurement."),
                                        QStringLiteral("R"), QStringLiteral("3"));
    const QCommandLineOption dirOption(QStringLiteral("dir"), QStringLiteral("Folder of the database (kept)."),
                                       QStringLiteral("DIR"));
    parser.addOptions({recordsOption, runsOption, dirOption});
    parser.process(app);

    BenchDatabaseShape shape;
    shape.days = 1;
    shape.recordsPerDay = qMax(1, parser.value(recordsOption).toInt());
    const int runs = qMax(1, parser.value(runsOption).toInt());
    QTemporaryDir temporary;
    const QString dir = parser.isSet(dirOption) ? parser.value(dirOption) : temporary.path();
    const QString day = shape.dayTexts().first();

    SqliteEngine engine;
    try {
        QElapsedTimer generation;
        generation.start();
        std::printf("database: %s (1 day x %d records)\n", qPrintable(QDir(dir).filePath(QStringLiteral("syslog.mdb"))),
                    shape.recordsPerDay);
        std::fflush(stdout);
        ensureBenchLogDatabase(engine, dir, shape);
        std::printf("ready after %.1f s\n", generation.nsecsElapsed() / 1e9);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot prepare the database: %s\n", e.what());
        return 1;
    }

    const QString outPath = QDir(temporary.path()).filePath(QStringLiteral("export.csv"));
    struct Case {
        const char* what;
        QString keyword;
    };
    const Case cases[] = {{"every record", QString()}, {"keyword", kBenchCommonKeyword}};
    std::printf("\n%-14s %4s %10s %12s %10s\n", "export", "run", "records", "MB", "seconds");
    for (const Case& c : cases) {
        std::vector<double> times;
        for (int run = 1; run <= runs; ++run) {
            const Run r = timedExport(dir, day, c.keyword, outPath);
            times.push_back(r.seconds);
            std::printf("%-14s %4d %10lld %12.1f %10.3f\n", c.what, run, r.records, r.bytes / 1e6, r.seconds);
            std::fflush(stdout);
            if (c.keyword.isEmpty() && r.records != shape.recordsPerDay) {
                std::fprintf(stderr, "expected %d records in the file\n", shape.recordsPerDay);
                return 1;
            }
        }
        std::printf("%-14s worst %.3f s, best %.3f s\n", c.what, *std::max_element(times.begin(), times.end()),
                    *std::min_element(times.begin(), times.end()));
    }
    return 0;
}
