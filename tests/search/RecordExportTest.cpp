#include "RecordExport.h"

#include "CsvExport.h"
#include "SearchTestDatabase.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

struct Exported {
    int status = -1;
    QByteArray bytes;
    QString error;
};

Exported exportOf(const QString& dir, const QString& day, const QString& keyword = {}, const QString& ip = {})
{
    Exported result;
    QBuffer out(&result.bytes);
    out.open(QIODevice::WriteOnly);
    result.status = exportRecords(dir, day, keyword, ip, out, &result.error);
    return result;
}

// The messages of an export, in file order (none of them needs quotes).
QStringList messagesOf(const QByteArray& csv)
{
    QStringList messages;
    const QList<QByteArray> lines = csv.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!lines[i].isEmpty())
            messages << QString::fromUtf8(lines[i].chopped(1)).section(QLatin1Char(','), 2);
    }
    return messages;
}

LogRecord at(const QString& day, const QString& time, const QString& ip, const QString& message)
{
    return LogRecord{day + QLatin1Char(' ') + time, ip, message};
}

} // namespace

TEST(RecordExport, AllDaysComeAscendingEachInIdOrderWithoutLimit)
{
    SearchTestDatabase db;
    const QString d1 = QStringLiteral("2026-12-01"), d2 = QStringLiteral("2026-12-02");
    // Added newer day first, times out of order: only day and ID decide.
    db.addDay(d2, {at(d2, QStringLiteral("23:00:00"), QStringLiteral("10.0.0.1"), QStringLiteral("d2 first")),
                   at(d2, QStringLiteral("01:00:00"), QStringLiteral("10.0.0.2"), QStringLiteral("d2 second"))});
    QList<LogRecord> many;
    for (int i = 0; i < 6000; ++i)
        many << at(d1, QStringLiteral("12:00:00"), QStringLiteral("10.0.0.9"), QStringLiteral("d1 #%1").arg(i));
    db.addDay(d1, many);
    db.execute(QStringLiteral("CREATE TABLE \"notes-2026-11-30\" (x TEXT)"));
    db.execute(QStringLiteral("CREATE TABLE \"syslog-2026-13-01\" (x TEXT)"));
    db.execute(QStringLiteral("CREATE VIEW \"syslog-2026-11-29\" AS SELECT 1"));

    const Exported all = exportOf(db.dir.path(), QStringLiteral("all"));
    ASSERT_EQ(all.status, 0) << all.error.toStdString();
    EXPECT_TRUE(all.bytes.startsWith(csvHeader()));
    const QStringList messages = messagesOf(all.bytes);
    ASSERT_EQ(messages.size(), 6002);
    EXPECT_EQ(messages[0], QStringLiteral("d1 #0"));
    EXPECT_EQ(messages[5999], QStringLiteral("d1 #5999"));
    EXPECT_EQ(messages.mid(6000), (QStringList{QStringLiteral("d2 first"), QStringLiteral("d2 second")}));
    EXPECT_TRUE(all.bytes.contains("\r\n2026-12-02 23:00:00,10.0.0.1,d2 first\r\n"));

    const Exported one = exportOf(db.dir.path(), d2);
    ASSERT_EQ(one.status, 0);
    EXPECT_EQ(one.bytes, all.bytes.left(csvHeader().size()) + all.bytes.mid(all.bytes.indexOf("2026-12-02")));
}

TEST(RecordExport, KeywordAndAddressMatchLikeTheSearchWithWildcards)
{
    SearchTestDatabase db;
    const QString day = QStringLiteral("2026-12-03");
    db.addDay(day, {at(day, QStringLiteral("10:00:00"), QStringLiteral("192.168.1.5"), QStringLiteral("link abc up")),
                    at(day, QStringLiteral("10:00:01"), QStringLiteral("192.168.2.5"), QStringLiteral("link aXc up")),
                    at(day, QStringLiteral("10:00:02"), QStringLiteral("10.1.1.5"), QStringLiteral("link ac 50% up")),
                    at(day, QStringLiteral("10:00:03"), QStringLiteral("192.168.1.6"), QStringLiteral("other"))});
    const auto messages = [&](const QString& keyword, const QString& ip) {
        const Exported e = exportOf(db.dir.path(), day, keyword, ip);
        EXPECT_EQ(e.status, 0) << e.error.toStdString();
        return messagesOf(e.bytes);
    };
    EXPECT_EQ(messages(QStringLiteral("a_c"), {}),
              (QStringList{QStringLiteral("link abc up"), QStringLiteral("link aXc up")}));
    EXPECT_EQ(messages(QStringLiteral("link%up"), QStringLiteral("168._.")),
              (QStringList{QStringLiteral("link abc up"), QStringLiteral("link aXc up")}));
    EXPECT_EQ(messages(QStringLiteral("link"), QStringLiteral("168.1.")), QStringList{QStringLiteral("link abc up")});
    EXPECT_EQ(messages({}, {}).size(), 4);
    EXPECT_TRUE(messages(QStringLiteral("'; DROP TABLE x; --"), {}).isEmpty());
}

TEST(RecordExport, ReadsBesideAnOpenWriteTransactionAndReportsBadInputWithStatusTwo)
{
    SearchTestDatabase db;
    const QString day = QStringLiteral("2026-12-04");
    db.addDay(day, {at(day, QStringLiteral("10:00:00"), QStringLiteral("10.0.0.1"), QStringLiteral("committed"))});
    {
        // A writer in the middle of a transaction: the export neither waits
        // nor sees the uncommitted record.
        const auto writer = db.database.openConnection();
        writer->begin();
        writer->execute(QStringLiteral("INSERT INTO \"syslog-2026-12-04\" (\"信息\") VALUES ('pending')"));
        const Exported beside = exportOf(db.dir.path(), QStringLiteral("all"));
        EXPECT_EQ(beside.status, 0) << beside.error.toStdString();
        EXPECT_EQ(messagesOf(beside.bytes), QStringList{QStringLiteral("committed")});
        writer->rollback();
    }

    for (const QString& bad : {QStringLiteral("2026-02-30"), QStringLiteral("2026-1-05"), QStringLiteral("ALL"),
                               QStringLiteral("")}) {
        const Exported e = exportOf(db.dir.path(), bad);
        EXPECT_EQ(e.status, 2) << bad.toStdString();
        EXPECT_TRUE(e.error.contains(QStringLiteral("yyyy-MM-dd"))) << e.error.toStdString();
        EXPECT_TRUE(e.bytes.isEmpty());
    }
    const Exported noTable = exportOf(db.dir.path(), QStringLiteral("2026-12-05"));
    EXPECT_EQ(noTable.status, 2);
    EXPECT_TRUE(noTable.error.contains(QStringLiteral("2026-12-05")));
    EXPECT_TRUE(noTable.bytes.isEmpty());

    QTemporaryDir empty;
    const Exported missing = exportOf(empty.path(), QStringLiteral("all"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(missing.error.contains(QStringLiteral("syslog.mdb")));
    EXPECT_TRUE(QDir(empty.path()).isEmpty()) << "the export created a file";

    QFile garbage(QDir(empty.path()).filePath(QStringLiteral("syslog.mdb")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    const Exported unreadable = exportOf(empty.path(), QStringLiteral("all"));
    EXPECT_EQ(unreadable.status, 2);
    EXPECT_FALSE(unreadable.error.isEmpty());
    EXPECT_FALSE(unreadable.error.contains(QLatin1Char('\n')));
    EXPECT_TRUE(unreadable.bytes.isEmpty());
}
