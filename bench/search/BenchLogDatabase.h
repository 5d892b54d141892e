#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <functional>

class DbEngine;

// The shape of a generated log database: consecutive days, each with the same
// number of records.
struct BenchDatabaseShape {
    int days = 30;
    int recordsPerDay = 100000;
    QDate firstDay = QDate(2026, 11, 1);

    QStringList dayTexts() const;
};

// Words planted in the generated messages: the rare one in a handful of
// records a day, the common one in about half of them.
inline const QString kBenchRareKeyword = QStringLiteral("kernel panic");
inline const QString kBenchCommonKeyword = QStringLiteral("interface");
// A sender address of one record in 7000 (143 a day for 1,000,000 records).
inline const QString kBenchRareAddress = QStringLiteral("10.5.136.58");
// Records between two rare ones: 5 a day for 100,000 records a day.
inline constexpr int kBenchRareEvery = 20000;

// Makes sure programDir holds a syslog.mdb of the given shape and returns its
// path. A database already there is reused when its days and the record count
// of its last day match the shape; one that does not match is an error (the
// caller is told to remove it), never overwritten. A new one is written into a
// side folder first and moved into place only when complete, so an interrupted
// run never leaves a half-filled database to be reused.
//
// progress (optional) is told each finished day.
QString ensureBenchLogDatabase(DbEngine& engine, const QString& programDir, const BenchDatabaseShape& shape,
                               const std::function<void(const QString& day)>& progress = {});

// The message of record number index of a day: a typical device log line,
// carrying kBenchCommonKeyword in every other record and kBenchRareKeyword in
// every kBenchRareEvery-th.
QString benchMessage(int index);
