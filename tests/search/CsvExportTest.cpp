#include "search/CsvExport.h"

#include <QBuffer>
#include <gtest/gtest.h>

TEST(CsvExport, QuotesOnlyFieldsThatNeedItAndEndsEveryLineInCrLf)
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    CsvWriter writer(out);
    ASSERT_TRUE(writer.writeHeader());
    ASSERT_TRUE(writer.writeRecord(LogRecord{QStringLiteral("2026-12-06 10:00:00"), QStringLiteral("10.0.0.1"),
                                             QStringLiteral("接口 up")}));
    ASSERT_TRUE(writer.writeRecord("2026-12-06 10:00:01", "", "say \"hi\", then\r\nbye"));
    ASSERT_TRUE(writer.writeRecord(LogRecord{QString(), QString(), QStringLiteral("a,b")}));
    EXPECT_TRUE(out.data().isEmpty()) << "buffered until finish";
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(out.data(), QStringLiteral("\uFEFF时间,IP地址,信息\r\n"
                                         "2026-12-06 10:00:00,10.0.0.1,接口 up\r\n"
                                         "2026-12-06 10:00:01,,\"say \"\"hi\"\", then\r\nbye\"\r\n"
                                         ",,\"a,b\"\r\n")
                              .toUtf8());
    // Each of CR, LF and the double quote alone is enough to quote a field.
    EXPECT_EQ(csvRecord(QStringLiteral("t\rx"), QStringLiteral("\""), QStringLiteral("中文\n")),
              QStringLiteral("\"t\rx\",\"\"\"\",\"中文\n\"\r\n").toUtf8());
}

TEST(CsvExport, CellsASpreadsheetWouldTakeForAFormulaStartWithAnApostrophe)
{
    EXPECT_EQ(csvRecord(QStringLiteral("=1+1"), QStringLiteral("+1"), QStringLiteral("=cmd|' /C calc'!A0 info")),
              QByteArray("'=1+1,'+1,'=cmd|' /C calc'!A0 info\r\n"));
    EXPECT_EQ(csvRecord(QStringLiteral("-2"), QStringLiteral("@SUM(A1)"), QStringLiteral("\t=1")),
              QByteArray("'-2,'@SUM(A1),'\t=1\r\n"));
    // Quoted as before, the apostrophe inside the quotes; only the first character counts.
    EXPECT_EQ(csvRecord(QStringLiteral("\r=1"), QStringLiteral("=a,b"), QStringLiteral("a=b -c @d")),
              QByteArray("\"'\r=1\",\"'=a,b\",a=b -c @d\r\n"));
}

TEST(CsvExport, ShownLinesSplitBackIntoTheirFields)
{
    const LogRecord full = splitLogLine(QStringLiteral("2026-12-06 10:00:00 IP:192.168.1.20 kernel: a b  c"));
    EXPECT_EQ(QStringList({full.time, full.ip, full.message}),
              QStringList({QStringLiteral("2026-12-06 10:00:00"), QStringLiteral("192.168.1.20"), QStringLiteral("kernel: a b  c")}));
    EXPECT_EQ(splitLogLine(QStringLiteral("2026-12-06 10:00:00 IP:10.0.0.1 ")).ip, QStringLiteral("10.0.0.1"));
    for (const QString& odd : {QStringLiteral("2026-12-06 10:00:00 IP:10.0.0.1"),
                               QStringLiteral("2026-12-06 10:00 IP:10.0.0.1 short time"),
                               QStringLiteral("2026-12-06 10:00:00 ip:10.0.0.1 lower case"), QStringLiteral("选中行")}) {
        const LogRecord whole = splitLogLine(odd);
        EXPECT_EQ(QStringList({whole.time, whole.ip, whole.message}), QStringList({{}, {}, odd}));
    }
}
