#pragma once

#include "platform/SqliteEngine.h"
#include "store/LogDatabase.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A program directory of its own for each test, a stopped clock on
// 2026-12-06 13:45:10 and the log database in that directory.
class StoreFixture : public ::testing::Test {
protected:
    QTemporaryDir dir_;
    FakeClock clock_;
    SqliteEngine engine_{50};
    LogDatabase database_{engine_, dir_.path(), clock_};

    static QString today() { return QStringLiteral("2026-12-06"); }

    // Creates the daily table of a day the way the program does: by running
    // the table check on that day; the clock returns to today afterwards.
    void createDay(const QString& day)
    {
        const QDateTime saved = clock_.now();
        clock_.set(QDateTime(QDate::fromString(day, Qt::ISODate), QTime(12, 0)));
        database_.ensureFileAndTodayTable();
        clock_.set(saved);
    }

    std::unique_ptr<DbConnection> connect() { return engine_.open(database_.path()); }

    // The first column of the first row of a query, empty text for NULL or no row.
    QString scalar(const QString& sql)
    {
        auto cursor = connect()->query(sql);
        return cursor->next() ? cursor->text(QStringLiteral("v")).value_or(QString()) : QString();
    }

    int rowCount(const QString& day)
    {
        return scalar(QStringLiteral("SELECT count(*) AS v FROM %1").arg(quoteName(dayTableName(day)))).toInt();
    }

    // Appends rows with the texts given, through a plain statement.
    void insertRows(const QString& day, const std::vector<std::array<QString, 3>>& rows)
    {
        auto connection = connect();
        connection->begin();
        auto insert = connection->prepare(
            QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\") VALUES (?,?,?)").arg(quoteName(dayTableName(day))));
        for (const auto& row : rows)
            insert->runTexts({row[0], row[1], row[2]});
        insert.reset();
        connection->commit();
    }
};
