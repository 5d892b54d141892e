#include "ExtentListWidget.h"
#include "Fakes.h"
#include "ListExport.h"
#include "SearchTestDatabase.h"
#include "SearchWindow.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QAction* exportAction(QWidget& list)
{
    for (QAction* action : list.actions()) {
        if (action->objectName() == QLatin1String("exportAction"))
            return action;
    }
    return nullptr;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(ListExport, SearchResultsExportEveryShownLineAsCsv)
{
    SearchTestDatabase db;
    db.addDay(QStringLiteral("2026-12-01"),
              {SearchTestDatabase::record(QStringLiteral("2026-12-01"), QStringLiteral("10.0.0.1"),
                                          QStringLiteral("端口 up info")),
               SearchTestDatabase::record(QStringLiteral("2026-12-01"), QStringLiteral("10.0.0.2"),
                                          QStringLiteral("info: user \"root\", tty1")),
               SearchTestDatabase::record(QStringLiteral("2026-12-01"), QStringLiteral("10.0.0.3"),
                                          QStringLiteral("not listed"))});
    FakeDialogs dialogs;
    FakeClipboard clipboard;
    FakeFileChooser chooser;
    QTemporaryDir out;
    const QString path = out.filePath(QStringLiteral("结果.csv"));
    chooser.answers = {QString(), path};  // the first question is cancelled

    SearchWindow window(QStringLiteral("cn"), db.database, dialogs, clipboard, chooser);
    auto* list = window.findChild<ExtentListWidget*>(QStringLiteral("txtoutput"));
    window.findChild<QLineEdit*>(QStringLiteral("关键字"))->setText(QStringLiteral("info"));
    window.给我搜_Click();
    ASSERT_EQ(list->count(), 2);

    QAction* action = exportAction(*list);
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), QStringLiteral("导出…"));
    EXPECT_EQ(list->contextMenuPolicy(), Qt::ActionsContextMenu);
    action->trigger();
    EXPECT_FALSE(QFile::exists(path));
    action->trigger();

    EXPECT_EQ(chooser.captions.size(), 2);
    EXPECT_TRUE(chooser.filters.value(1).contains(QStringLiteral("*.csv")));
    EXPECT_EQ(fileBytes(path), QByteArray("\xEF\xBB\xBF") + QStringLiteral("时间,IP地址,信息\r\n"
                                                                         "2026-12-01 10:00:00,10.0.0.1,端口 up info\r\n")
                                                                  .toUtf8()
                                   + QByteArray("2026-12-01 10:00:00,10.0.0.2,\"info: user \"\"root\"\", tty1\"\r\n"));
    EXPECT_TRUE(dialogs.messages.isEmpty() && dialogs.warnings.isEmpty());
}

TEST(ListExport, AnUnwritableFileIsReportedWithItsNameAndReasonInTheLanguageMode)
{
    QTemporaryDir out;
    const QString path = out.filePath(QStringLiteral("missing-folder/x.csv"));
    FakeDialogs dialogs;
    FakeFileChooser chooser;
    ExtentListWidget list;
    list.addItem(QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 error"));

    attachCsvExport(list, QStringLiteral("cn"), chooser, dialogs);
    attachCsvExport(list, QStringLiteral("en"), chooser, dialogs);  // replaces the Chinese command
    ASSERT_EQ(list.actions().size(), 1);
    EXPECT_EQ(list.actions().first()->text(), QStringLiteral("Export…"));

    chooser.answers = {path};
    list.actions().first()->trigger();
    ASSERT_EQ(dialogs.warnings.size(), 1);
    EXPECT_TRUE(dialogs.warnings[0].startsWith(QStringLiteral("Could not write ") + path + QLatin1Char(':')))
        << dialogs.warnings[0].toStdString();
    EXPECT_GT(dialogs.warnings[0].size(), QStringLiteral("Could not write :\n").size() + path.size());
    EXPECT_FALSE(QFile::exists(path));

    QString reason;
    EXPECT_FALSE(writeListAsCsv(list, path, &reason));
    EXPECT_TRUE(dialogs.warnings[0].endsWith(reason));
}
