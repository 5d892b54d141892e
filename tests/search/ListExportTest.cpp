#include "platform/Language.h"
#include "platform/ui/ExtentListWidget.h"
#include "search/ui/ListExport.h"
#include "search/ui/SearchWindow.h"
#include "tests/search/SearchTestDatabase.h"
#include "tests/support/Fakes.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

TEST(ListExport, SearchResultsExportEveryShownLineAsCsv)
{
    SearchTestDatabase db;
    const QString day = QStringLiteral("2026-12-01");
    db.addDay(day, {SearchTestDatabase::record(day, QStringLiteral("10.0.0.1"), QStringLiteral("端口 up info")),
                    SearchTestDatabase::record(day, QStringLiteral("10.0.0.2"), QStringLiteral("info: \"root\", tty1")),
                    SearchTestDatabase::record(day, QStringLiteral("10.0.0.3"), QStringLiteral("not listed")),
                    SearchTestDatabase::record(day, QStringLiteral("10.0.0.4"), QStringLiteral("=cmd|' /C calc'!A0 info"))});
    FakeDialogs dialogs;
    FakeClipboard clipboard;
    FakeFileChooser chooser;
    const QString path = db.dir.filePath(QStringLiteral("结果.csv"));
    chooser.answers = {QString(), path};  // the first question is cancelled

    useLanguage(Language::Chinese);
    SearchWindow window(db.database, dialogs, clipboard, chooser);
    auto* list = window.findChild<ExtentListWidget*>(QStringLiteral("txtoutput"));
    window.findChild<QLineEdit*>(QStringLiteral("关键字"))->setText(QStringLiteral("info"));
    window.runSearch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.searching(); }, 10000));
    ASSERT_EQ(list->actions().size(), 1);
    QAction* action = list->actions().first();
    EXPECT_EQ(action->text(), QStringLiteral("导出…"));
    EXPECT_EQ(list->contextMenuPolicy(), Qt::ActionsContextMenu);
    action->trigger();
    EXPECT_FALSE(QFile::exists(path));
    action->trigger();
    EXPECT_EQ(chooser.asked, 2);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QStringLiteral("\uFEFF时间,IP地址,信息\r\n"
                                             "2026-12-01 10:00:00,10.0.0.1,端口 up info\r\n"
                                             "2026-12-01 10:00:00,10.0.0.2,\"info: \"\"root\"\", tty1\"\r\n"
                                             "2026-12-01 10:00:00,10.0.0.4,'=cmd|' /C calc'!A0 info\r\n")
                                  .toUtf8());
    EXPECT_TRUE(dialogs.messages.isEmpty() && dialogs.warnings.isEmpty());
}

TEST(ListExport, AnUnwritableFileIsReportedWithItsNameAndReason)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing-folder/x.csv"));
    FakeDialogs dialogs;
    FakeFileChooser chooser;
    ExtentListWidget list;
    list.addItem(QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 error"));
    useLanguage(Language::English);
    attachCsvExport(list, chooser, dialogs);
    attachCsvExport(list, chooser, dialogs);  // replaces the first command
    ASSERT_EQ(list.actions().size(), 1);
    EXPECT_EQ(list.actions().first()->text(), QStringLiteral("Export…"));

    chooser.answers = {path};
    list.actions().first()->trigger();
    const Result<> written = writeListAsCsv(list, path);
    EXPECT_FALSE(written);
    EXPECT_FALSE(written.error().isEmpty());
    EXPECT_EQ(dialogs.warnings, QStringList{QStringLiteral("Could not write %1:\n%2").arg(path, written.error())});
}
