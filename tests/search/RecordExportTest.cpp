#include "search/RecordExport.h"

#include "search/CsvExport.h"
#include "tests/search/SearchTestDatabase.h"

#include <QBuffer>
#include <QDir>
#include <gtest/gtest.h>

namespace {

struct Exported {
    bool ok = false;
    QByteArray bytes;
    QString error;
};

Exported exportOf(const QString& dir, const QString& day, const QString& keyword = {}, const QString& ip = {})
{
    Exported result;
    QBuffer out(&result.bytes);
    out.open(QIODevice::WriteOnly);
    const Result<> exported = exportRecords(dir, day, keyword, ip, out);
    result.ok = bool(exported);
    result.error = exported.error();
    return result;
}

// The messages of an export, in file order (none of these needs quotes).
QStringList messagesOf(const Exported& exported)
{
    EXPECT_TRUE(exported.ok) << exported.error.toStdString();
    QStringList found;
    for (const QByteArray& line : exported.bytes.mid(csvHeader().size()).split('\n'))
        if (!line.isEmpty())
            found << QString::fromUtf8(line.chopped(1)).section(QLatin1Char(','), 2);
    return found;
}

} // namespace

TEST(RecordExport, DaysAscendingInIdOrderWithoutLimitMatchedLikeTheSearch)
{
    SearchTestDatabase db;
    const QString d1 = QStringLiteral("2026-12-01"), d2 = QStringLiteral("2026-12-02");
    db.addDay(d2, {db.record(d2, QStringLiteral("192.168.1.5"), QStringLiteral("link abc up")),
                   db.record(d2, QStringLiteral("192.168.2.5"), QStringLiteral("link aXc up")),
                   db.record(d2, QStringLiteral("10.1.1.5"), QStringLiteral("link ac up"))});
    QList<LogRecord> many;
    for (int i = 0; i < 6000; ++i)
        many << db.record(d1, QStringLiteral("10.0.0.9"), QStringLiteral("d1 #%1").arg(i));
    db.addDay(d1, many);
    db.execute(QStringLiteral("CREATE TABLE \"notes-2026-11-30\" (x TEXT)"));
    db.execute(QStringLiteral("CREATE TABLE \"syslog-2026-13-01\" (x TEXT)"));

    const Exported all = exportOf(db.dir.path(), QStringLiteral("all"));
    EXPECT_TRUE(all.bytes.startsWith(csvHeader()));
    EXPECT_TRUE(all.bytes.endsWith("\r\n2026-12-02 10:00:00,10.1.1.5,link ac up\r\n"));
    const QStringList messages = messagesOf(all);
    ASSERT_EQ(messages.size(), 6003);
    EXPECT_EQ(messages[5999], QStringLiteral("d1 #5999"));
    EXPECT_EQ(messagesOf(exportOf(db.dir.path(), d2)), messages.mid(6000));

    EXPECT_EQ(messagesOf(exportOf(db.dir.path(), d2, QStringLiteral("a_c"))), messages.mid(6000, 2));
    EXPECT_EQ(messagesOf(exportOf(db.dir.path(), d2, QStringLiteral("link%up"), QStringLiteral("168.1."))),
              messages.mid(6000, 1));
    EXPECT_TRUE(messagesOf(exportOf(db.dir.path(), d2, QStringLiteral("'; DROP TABLE x; --"))).isEmpty());
}

TEST(RecordExport, ReadsBesideAnOpenWriteAndGivesStatusTwoForBadInput)
{
    SearchTestDatabase db;
    const QString day = QStringLiteral("2026-12-04");
    db.addDay(day, {db.record(day, QStringLiteral("10.0.0.1"), QStringLiteral("committed"))});
    const auto writer = db.database.openConnection();
    writer->begin();
    writer->execute(QStringLiteral("INSERT INTO \"syslog-2026-12-04\" (\"信息\") VALUES ('pending')"));
    EXPECT_EQ(messagesOf(exportOf(db.dir.path(), QStringLiteral("all"))), QStringList{QStringLiteral("committed")});
    writer->rollback();

    QTemporaryDir empty;
    QFile garbage(QDir(db.dir.path()).filePath(QStringLiteral("sub/syslog.mdb")));
    ASSERT_TRUE(QDir(db.dir.path()).mkdir(QStringLiteral("sub")) && garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    const std::pair<QString, QString> bad[] = {
        {db.dir.path(), QStringLiteral("2026-02-30")}, {db.dir.path(), QStringLiteral("2026-1-05")},
        {db.dir.path(), QStringLiteral("ALL")},        {db.dir.path(), QStringLiteral("2026-12-05")},
        {empty.path(), QStringLiteral("all")},         {db.dir.filePath(QStringLiteral("sub")), QStringLiteral("all")},
    };
    for (const auto& [dir, badDay] : bad) {
        const Exported e = exportOf(dir, badDay);
        EXPECT_FALSE(e.ok) << badDay.toStdString();
        EXPECT_TRUE(e.error.contains(badDay == QLatin1String("all") ? QStringLiteral("syslog.mdb") : badDay))
            << e.error.toStdString();
        EXPECT_FALSE(e.error.contains(QLatin1Char('\n')));
        EXPECT_TRUE(e.bytes.isEmpty());
    }
    EXPECT_TRUE(QDir(empty.path()).isEmpty()) << "the export created a database";
}
