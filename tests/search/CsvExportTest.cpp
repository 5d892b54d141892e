#include "CsvExport.h"

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
    ASSERT_TRUE(writer.writeRecord(QByteArrayView("2026-12-06 10:00:01"), QByteArrayView(""),
                                   QByteArrayView("say \"hi\", then\r\nbye\nend\r")));
    ASSERT_TRUE(writer.writeRecord(LogRecord{QString(), QString(), QStringLiteral("a,b")}));
    EXPECT_TRUE(out.data().isEmpty()) << "buffered until finish";
    ASSERT_TRUE(writer.finish());

    const QByteArray expected = QByteArray("\xEF\xBB\xBF") + QStringLiteral("时间,IP地址,信息\r\n").toUtf8()
                              + QByteArray("2026-12-06 10:00:00,10.0.0.1,") + QStringLiteral("接口 up").toUtf8()
                              + QByteArray("\r\n"
                                           "2026-12-06 10:00:01,,\"say \"\"hi\"\", then\r\nbye\nend\r\"\r\n"
                                           ",,\"a,b\"\r\n");
    EXPECT_EQ(out.data(), expected);
    // Each of CR, LF and the double quote alone is enough to quote a field.
    EXPECT_EQ(csvRecord(QStringLiteral("t\rx"), QStringLiteral("\""), QStringLiteral("中文\n")),
              QByteArray("\"t\rx\",\"\"\"\",\"") + QStringLiteral("中文\n").toUtf8() + QByteArray("\"\r\n"));
}

TEST(CsvExport, ShownLinesSplitBackIntoTheirFields)
{
    const LogRecord full = splitLogLine(QStringLiteral("2026-12-06 10:00:00 IP:192.168.1.20 kernel: a b  c"));
    EXPECT_EQ(full.time, QStringLiteral("2026-12-06 10:00:00"));
    EXPECT_EQ(full.ip, QStringLiteral("192.168.1.20"));
    EXPECT_EQ(full.message, QStringLiteral("kernel: a b  c"));

    const LogRecord emptyMessage = splitLogLine(QStringLiteral("2026-12-06 10:00:00 IP:10.0.0.1 "));
    EXPECT_EQ(emptyMessage.ip, QStringLiteral("10.0.0.1"));
    EXPECT_EQ(emptyMessage.message, QString());

    for (const QString& odd : {QStringLiteral("2026-12-06 10:00:00 IP:10.0.0.1"),
                               QStringLiteral("2026-12-06 10:00 IP:10.0.0.1 short time"),
                               QStringLiteral("2026-12-06 10:00:00 ip:10.0.0.1 lower case"),
                               QStringLiteral("选中行内容"), QString()}) {
        const LogRecord whole = splitLogLine(odd);
        EXPECT_EQ(whole.message, odd);
        EXPECT_TRUE(whole.time.isEmpty() && whole.ip.isEmpty()) << odd.toStdString();
    }
}
