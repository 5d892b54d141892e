#include "tests/app/AppHarness.h"

#include "platform/QtUdpSocket.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/LogLineDelegate.h"
#include "platform/ui/Twips.h"
#include "rules/RulesFile.h"
#include "search/ui/FieldsView.h"
#include "search/ui/SearchWindow.h"
#include "store/LogDatabase.h"
#include "tests/support/UdpPorts.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTableView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

template <typename T>
T* control(MainWindow& window, const char* name)
{
    T* found = window.findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// Creates daily tables (and rows) the way an earlier run would have left them.
void createDay(DbEngine& engine, const QString& path, const QString& day, int rows = 0)
{
    auto connection = engine.open(path, DbEngine::OpenMode::CreateIfMissing);
    connection->execute(QStringLiteral("CREATE TABLE %1 (\"ID\" INTEGER PRIMARY KEY, \"时间\" TEXT, "
                                       "\"IP地址\" TEXT, \"信息\" TEXT)")
                            .arg(quoteName(dayTableName(day))));
    connection->begin();
    auto insert = connection->prepare(QStringLiteral("INSERT INTO %1 (\"时间\",\"IP地址\",\"信息\") VALUES (?,?,?)")
                                          .arg(quoteName(dayTableName(day))));
    for (int i = 1; i <= rows; ++i)
        insert->runTexts({day + QStringLiteral(" 10:00:00"), QStringLiteral("10.0.0.1"), QStringLiteral("row %1").arg(i)});
    connection->commit();
}

int rowCount(DbEngine& engine, const QString& path, const QString& day)
{
    auto connection = engine.open(path);
    auto cursor = connection->query(QStringLiteral("SELECT count(*) AS n FROM %1").arg(quoteName(dayTableName(day))));
    return cursor->next() ? cursor->text(QStringLiteral("n"))->toInt() : -1;
}

} // namespace

TEST(Startup, FirstStartCreatesDatabaseListsTodayAndShowsVersion)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    EXPECT_TRUE(app.dialogs.messages.isEmpty()) << app.dialogs.messages.join(u'|').toStdString();
    EXPECT_TRUE(QFile::exists(app.dbPath()));
    auto* days = control<QComboBox>(*app.window, "日志日期");
    ASSERT_EQ(days->count(), 1);
    EXPECT_EQ(days->currentText(), app.today());
    EXPECT_EQ(control<QLabel>(*app.window, "记录数")->text(), QStringLiteral("总记录1天"));
    EXPECT_EQ(control<QLabel>(*app.window, "大标题")->text(),
              QStringLiteral("凯维%1.%2").arg(KIV_VERSION_MAJOR).arg(KIV_VERSION_MINOR));
    EXPECT_EQ(app.window->windowTitle(), QStringLiteral("凯维"));
    EXPECT_TRUE(app.socket.isBound());
    EXPECT_EQ(app.socket.localPort(), 5514);
    EXPECT_TRUE(app.secondTimer->isActive());
}

TEST(Startup, EnglishLocaleSetsEnglishCaptions)
{
    AppHarness app(Language::English);
    ASSERT_TRUE(app.start());
    EXPECT_EQ(app.window->windowTitle(), QStringLiteral("KIV Syslog Server"));
    EXPECT_TRUE(control<QLabel>(*app.window, "大标题")->text().startsWith(QStringLiteral("KIV Syslog Server1.")));
    EXPECT_EQ(control<QPushButton>(*app.window, "清理")->text(), QStringLiteral("Cleaner"));
    EXPECT_EQ(control<QPushButton>(*app.window, "搜索")->text(), QStringLiteral("Search"));
    EXPECT_EQ(control<QLabel>(*app.window, "版权说明")->text(), QStringLiteral("Developer blog"));
    EXPECT_EQ(control<QLabel>(*app.window, "记录数")->text(), QStringLiteral("log 1 days"));
}

TEST(Startup, SecondCopyIsRefusedBeforeTouchingSocketOrDatabase)
{
    AppHarness app;
    LockFileSingleInstance first(LockFileSingleInstance::defaultLockPath(app.dir.path()));
    ASSERT_TRUE(first.tryAcquire());
    EXPECT_FALSE(app.start());
    EXPECT_EQ(app.dialogs.messages, QStringList{QStringLiteral("程序已经在运行，不支持多开！")});
    EXPECT_FALSE(QFile::exists(app.dbPath()));
    EXPECT_EQ(app.socket.bindAttempts, 0);
}

TEST(Startup, BusyPortShowsPortMessageThenPrompt)
{
    AppHarness app;
    app.settings.values[QStringLiteral("port")] = QStringLiteral("514");
    app.socket.busyPorts.insert(514);
    ASSERT_TRUE(app.start());
    ASSERT_GE(app.dialogs.messages.size(), 2);
    EXPECT_EQ(app.dialogs.messages[0], QStringLiteral("514端口已被占用，请按F2修改服务端口！"));
    EXPECT_EQ(app.dialogs.prompts, QStringList{QStringLiteral("修改服务端口")});
    EXPECT_EQ(app.dialogs.messages[1], QStringLiteral("已取消修改端口！"));
    EXPECT_FALSE(app.socket.isBound());
    // The database work still happened.
    EXPECT_EQ(control<QComboBox>(*app.window, "日志日期")->count(), 1);

    // Nothing is received, and the status line says so until a port is bound.
    auto* status = control<QLabel>(*app.window, "过滤信息");
    app.secondTimer->tick();
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(status->text(), QStringLiteral("过滤信息:未在监听，没有绑定端口"));
    EXPECT_EQ(status->toolTip(), QStringLiteral("未在监听：UDP 514端口未绑定"));
    app.dialogs.answers = {QStringLiteral("5515")};
    app.window->changeServicePort();
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(status->text(), QStringLiteral("过滤信息:已过滤无效信息0条,接收速率0条/秒"));
    EXPECT_EQ(status->toolTip(), QStringLiteral("当前正在监听UDP 5515端口信息"));
}

TEST(Startup, CloseRequestDuringThePortPromptEndsTheStartup)
{
    AppHarness app;
    app.socket.busyPorts.insert(5514);
    app.dialogs.whilePrompting = [&app] { app.window->close(); }; // SIGTERM or logoff meanwhile
    EXPECT_FALSE(app.start());
    EXPECT_TRUE(app.window->isShutDown());
    EXPECT_FALSE(app.secondTimer->isActive());
}

TEST(Startup, UnopenableDatabaseIsReportedAndTheFileLeftAlone)
{
    AppHarness app;
    QFile junk(app.dbPath());
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    const QByteArray bytes(4096, 'x');
    junk.write(bytes);
    junk.close();
    EXPECT_FALSE(app.start());
    ASSERT_EQ(app.dialogs.messages.size(), 1);
    EXPECT_TRUE(app.dialogs.messages[0].contains(QStringLiteral("syslog.mdb")));
    EXPECT_TRUE(app.dialogs.messages[0].contains(QStringLiteral("not a database")));
    QFile check(app.dbPath());
    ASSERT_TRUE(check.open(QIODevice::ReadOnly));
    EXPECT_EQ(check.readAll(), bytes);
    EXPECT_EQ(app.socket.bindAttempts, 0);
}

TEST(DayList, ListsDaysAscendingSelectsNewestAndLoadsAChosenDay)
{
    AppHarness app;
    app.clock.set(QDateTime(QDate(2026, 12, 4), QTime(9, 0)));
    createDay(app.readEngine, app.dbPath(), QStringLiteral("2026-12-03"), 1234);
    createDay(app.readEngine, app.dbPath(), QStringLiteral("2026-12-01"), 3);
    ASSERT_TRUE(app.start());
    auto* days = control<QComboBox>(*app.window, "日志日期");
    ASSERT_EQ(days->count(), 3);
    EXPECT_EQ(days->itemText(0), QStringLiteral("2026-12-01"));
    EXPECT_EQ(days->itemText(1), QStringLiteral("2026-12-03"));
    EXPECT_EQ(days->currentText(), QStringLiteral("2026-12-04"));
    EXPECT_EQ(control<QLabel>(*app.window, "记录数")->text(), QStringLiteral("总记录3天"));

    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    days->setCurrentIndex(1);
    app.window->loadChosenDay();
    ASSERT_TRUE(app.settle());
    ASSERT_EQ(list->count(), 500);
    EXPECT_EQ(list->item(0)->text(), QStringLiteral("2026-12-03 10:00:00 IP:10.0.0.1 row 735"));
    EXPECT_EQ(list->item(499)->text(), QStringLiteral("2026-12-03 10:00:00 IP:10.0.0.1 row 1234"));
    EXPECT_EQ(app.window->widestLine(), list->item(499)->text().size());
    EXPECT_EQ(list->horizontalExtent(), horizontalExtentFor(app.window->widestLine()));

    days->setCurrentIndex(0);
    app.window->loadChosenDay();
    ASSERT_TRUE(app.settle());
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(2)->text(), QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 row 3"));
}

TEST(DayList, DayWhoseTableWasDroppedIsIgnoredSilently)
{
    AppHarness app;
    createDay(app.readEngine, app.dbPath(), QStringLiteral("2026-11-30"), 2);
    ASSERT_TRUE(app.start());
    auto* days = control<QComboBox>(*app.window, "日志日期");
    days->setCurrentIndex(0);
    app.window->loadChosenDay();
    ASSERT_TRUE(app.settle());
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    ASSERT_EQ(list->count(), 2);
    app.readEngine.open(app.dbPath())->execute(QStringLiteral("DROP TABLE \"syslog-2026-11-30\""));
    app.window->loadChosenDay();
    ASSERT_TRUE(app.settle());
    EXPECT_EQ(list->count(), 2);
    EXPECT_TRUE(app.dialogs.messages.isEmpty());
}

TEST(Layout, ResizeRuleMovesRightAnchoredControls)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    app.window->layoutForOuterSize(5000, 4000);
    EXPECT_DOUBLE_EQ(twips::left(control<QWidget>(*app.window, "清理")), 2285);
    EXPECT_DOUBLE_EQ(twips::left(control<QWidget>(*app.window, "搜索")), 2285);
    EXPECT_DOUBLE_EQ(twips::left(control<QWidget>(*app.window, "日志日期")), 3285);
    EXPECT_DOUBLE_EQ(twips::left(control<QWidget>(*app.window, "版权说明")), 3280);
    EXPECT_DOUBLE_EQ(twips::width(control<QWidget>(*app.window, "txtoutput")), 4760);
    EXPECT_DOUBLE_EQ(twips::height(control<QWidget>(*app.window, "txtoutput")), 2480);
    // Right below the list, which the designed top (3150) would overlap.
    EXPECT_DOUBLE_EQ(twips::top(control<QWidget>(*app.window, "过滤信息")), 3200);
    EXPECT_DOUBLE_EQ(twips::top(control<QWidget>(*app.window, "txtoutput")), 720);

    // A window as small as a minimised one moves nothing, so restoring keeps the layout.
    app.window->layoutForOuterSize(200, 400);
    EXPECT_DOUBLE_EQ(twips::left(control<QWidget>(*app.window, "清理")), 2285);
    EXPECT_DOUBLE_EQ(twips::width(control<QWidget>(*app.window, "txtoutput")), 4760);
}

TEST(Layout, TheDayCountKeepsItsRightEdgeClearOfTheButtonsWhenItsTextChanges)
{
    for (const Language language : {Language::English, Language::Chinese}) {
        AppHarness app(language);
        // Laid out with the designed caption; the day count comes later.
        app.window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(app.window.get()));
        auto* count = control<QLabel>(*app.window, "记录数");
        const double right = twips::left(count) + twips::width(count);
        ASSERT_TRUE(app.start());
        EXPECT_NEAR(twips::left(count) + twips::width(count), right, 1.0);
        for (const char* button : {"清理", "搜索"})
            EXPECT_FALSE(count->geometry().intersects(control<QPushButton>(*app.window, button)->geometry()))
                << button << " " << int(language);
    }
}

TEST(Layout, DayListShowsAWholeDate)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    auto* days = control<QComboBox>(*app.window, "日志日期");
    QStyleOptionComboBox option;
    option.initFrom(days);
    const QRect field = days->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, days);
    EXPECT_LE(QFontMetrics(days->font()).horizontalAdvance(app.today()), field.width());
    EXPECT_LE(days->font().pointSizeF(), 10.5);
}

TEST(Commands, ALiveLineThatARuleColoursCarriesTheRulesColour)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    auto* rules = app.window->findChild<RulesFile*>();
    ASSERT_NE(rules, nullptr);
    QSignalSpy loaded(rules, &RulesFile::loaded);
    const ParsedRules parsed = RuleSet::parse(
        R"({"rules": [{"name": "down", "when": {"contains": "DOWN"}, "actions": [{"colour": "#c00000"}]}]})");
    ASSERT_TRUE(parsed.ok());
    ASSERT_TRUE(RulesFile::write(rules->path(), parsed.rules));
    ASSERT_TRUE(loaded.wait());

    app.socket.arrive("<13>info: eth0 DOWN", QStringLiteral("10.1.2.3"));
    app.socket.arrive("<13>info: eth0 up", QStringLiteral("10.1.2.3"));
    ASSERT_TRUE(app.sync());
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->data(kRuleColourRole), QVariant(uint(0xC00000)));
    EXPECT_FALSE(list->item(1)->data(kRuleColourRole).isValid());
}

TEST(Commands, DoubleClickCopiesTheCurrentLineAndConfirms)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    app.window->copyCurrentLine();
    EXPECT_EQ(app.clipboard.texts, QStringList{QString()});
    EXPECT_EQ(app.dialogs.messages, QStringList{QStringLiteral("选中行内容已复制到剪切板！")});

    app.socket.arrive("<13>info: link up", QStringLiteral("10.1.2.3"));
    ASSERT_TRUE(app.sync());
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    ASSERT_EQ(list->count(), 1);
    list->setCurrentRow(0);
    app.window->copyCurrentLine();
    EXPECT_EQ(app.clipboard.texts.last(), app.clock.now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                              + QStringLiteral(" IP:10.1.2.3 link up"));
}

TEST(Commands, SearchOpensOneWindowAndLinkOpensHomePage)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    app.window->openSearch();
    QWidget* first = reinterpret_cast<QWidget*>(app.window->searchWindow());
    ASSERT_NE(first, nullptr);
    app.window->openSearch();
    EXPECT_EQ(reinterpret_cast<QWidget*>(app.window->searchWindow()), first);
    first->close();

    app.window->openBlog();
    EXPECT_EQ(app.shell.urls, QStringList{QString::fromLatin1(MainWindow::kHomePage)});
}

TEST(Commands, FunctionKeysActOncePerPressWhicheverControlHasFocus)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    app.window->show();
    app.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(app.window.get()));
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    list->setFocus();
    // A real box takes the focus while it is open; the press then goes on to
    // the list and its parents.
    app.dialogs.whilePrompting = [] {
        if (QWidget* focused = QApplication::focusWidget())
            focused->clearFocus();
    };
    app.dialogs.answers = {QStringLiteral("5515")};
    QTest::keyClick(list, Qt::Key_F2);
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(app.dialogs.prompts, QStringList{QStringLiteral("修改服务端口")});
    EXPECT_TRUE(app.dialogs.messages.isEmpty()) << app.dialogs.messages.join(u'|').toStdString();
    EXPECT_EQ(app.socket.localPort(), 5515);
    EXPECT_TRUE(app.socket.isBound());

    auto* days = control<QComboBox>(*app.window, "日志日期");
    days->setFocus();
    QTest::keyClick(days, Qt::Key_F3);
    EXPECT_EQ(app.window->filterEnabled(), 0);
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(app.core().filterEnabled(), 0);
    EXPECT_EQ(app.settings.values.value(QStringLiteral("msgfilter")), QStringLiteral("0"));
    // The shift state does not matter; a press the window system delivers (to
    // the window first) counts once too, and so does each of two presses in a row.
    QWindow* window = app.window->windowHandle();
    QTest::keyClick(window, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(app.window->filterEnabled(), 1);
    QTest::keyClick(days, Qt::Key_F3);
    QTest::keyClick(days, Qt::Key_F3);
    EXPECT_EQ(app.window->filterEnabled(), 1);
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(app.core().filterEnabled(), 1);
    QTest::keyClick(window, Qt::Key_F2, Qt::ControlModifier);
    EXPECT_EQ(app.dialogs.prompts.size(), 2);
    EXPECT_EQ(app.dialogs.messages, QStringList{QStringLiteral("已取消修改端口！")});
}

TEST(Receiving, RealDatagramReachesTheListAndTheDatabase)
{
    AppHarness app(Language::Chinese, true);
    const quint16 port = unusedUdpPort();
    app.settings.values[QStringLiteral("port")] = QString::number(port);
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.realSocket->isBound()) << app.dialogs.messages.join(QLatin1Char('|')).toStdString();

    QUdpSocket sender;
    sender.writeDatagram(QByteArray("<14>host: info: link up"), QHostAddress::LocalHost, port);
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    QTRY_COMPARE(list->count(), 1);
    EXPECT_TRUE(list->item(0)->text().endsWith(QStringLiteral(" IP:127.0.0.1 info: link up")))
        << list->item(0)->text().toStdString();
    ASSERT_TRUE(app.shutDown());
    EXPECT_FALSE(app.realSocket->isBound());
    EXPECT_EQ(rowCount(app.readEngine, app.dbPath(), app.today()), 1);
}

TEST(Cleaning, HandsTheDatabaseOverAndTakesItBack)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    app.window->openCleaner();
    // The cleaner opens once the receiver has given the file up.
    EXPECT_EQ(reinterpret_cast<QWidget*>(app.window->cleanerWindow()), nullptr);
    ASSERT_TRUE(app.sync());
    EXPECT_FALSE(app.socket.isBound());
    EXPECT_FALSE(app.writeTimer->isActive());
    ASSERT_NE(reinterpret_cast<QWidget*>(app.window->cleanerWindow()), nullptr);

    app.socket.arrive("<13>info: while cleaning");
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(control<ExtentListWidget>(*app.window, "txtoutput")->count(), 0);

    reinterpret_cast<QWidget*>(app.window->cleanerWindow())->close();
    EXPECT_TRUE(app.window->dayListRefreshPending());
    ASSERT_TRUE(app.sync());
    EXPECT_TRUE(app.writeTimer->isActive());
    // Bound again once taken back.
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.socket.isBound(); }, 10000));
    EXPECT_EQ(app.socket.localPort(), 5514);
    app.secondTimer->tick();
    ASSERT_TRUE(app.sync());
    EXPECT_FALSE(app.window->dayListRefreshPending());

    app.socket.arrive("<13>info: after cleaning");
    EXPECT_EQ(rowCount(app.readEngine, app.dbPath(), app.today()), 1);
}

TEST(Shutdown, DatagramStillOnItsWayAfterShutdownIsNotQueuedToBeLost)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.shutDown());
    app.socket.arriveLate("<13>info: too late");
    EXPECT_EQ(app.core().storeCounters().received, 0);
    EXPECT_EQ(control<ExtentListWidget>(*app.window, "txtoutput")->count(), 0);
}

TEST(Shutdown, QueuedRecordsAreWrittenBeforeTheEnd)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    for (int i = 0; i < 10; ++i) // under load: records wait for a batch
        app.socket.arrive("<13>info ab");
    for (int i = 0; i < 3; ++i)
        app.socket.arrive(QByteArray("<13>info: queued ") + QByteArray::number(i));
    EXPECT_EQ(rowCount(app.readEngine, app.dbPath(), app.today()), 0);
    QSignalSpy finished(app.window.get(), &MainWindow::shutDownFinished);
    app.window->close();
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_TRUE(finished.at(0).at(0).toString().contains(QStringLiteral("3 stored")))
        << finished.at(0).at(0).toString().toStdString();
    EXPECT_EQ(rowCount(app.readEngine, app.dbPath(), app.today()), 3);
    EXPECT_FALSE(app.socket.isBound());
}

TEST(Receiving, FullListDropsItsOldestLineAndTheScrollRangeFollowsTheWidestLine)
{
    AppHarness app;
    createDay(app.readEngine, app.dbPath(), app.today(), 600);
    ASSERT_TRUE(app.start());
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    ASSERT_EQ(list->count(), 500);
    const qint32 loadedWidest = app.window->widestLine();

    app.socket.arrive("<13>info a-much-longer-message-than-any-loaded-row");
    ASSERT_TRUE(app.sync());
    ASSERT_EQ(list->count(), 500);
    EXPECT_EQ(list->item(0)->text(), QStringLiteral("%1 10:00:00 IP:10.0.0.1 row 102").arg(app.today()));
    EXPECT_TRUE(list->item(499)->text().endsWith(QStringLiteral("a-much-longer-message-than-any-loaded-row")));
    EXPECT_EQ(list->currentRow(), 499);
    EXPECT_GT(app.window->widestLine(), loadedWidest);
    EXPECT_EQ(list->horizontalExtent(), horizontalExtentFor(app.window->widestLine()));

    app.socket.arrive("<13>info short");
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(list->horizontalExtent(), horizontalExtentFor(app.window->widestLine()));
}

TEST(Receiving, TheStatusLineTurnsRedWithEveryCountOnceSomethingIsLost)
{
    AppHarness app(Language::English);
    ASSERT_TRUE(app.start());
    auto* status = control<QLabel>(*app.window, "过滤信息");
    app.secondTimer->tick();
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(status->text(), QStringLiteral("Filtering info: 0 invalid info has been filtered. Recv rate 0 per sec"));
    EXPECT_TRUE(status->styleSheet().isEmpty());
    EXPECT_EQ(status->toolTip(), QStringLiteral("当前正在监听UDP 5514端口信息"));

    app.socket.reportedLosses.kernelDropped = 42;
    app.secondTimer->tick();
    ASSERT_TRUE(app.sync());
    EXPECT_TRUE(status->styleSheet().contains(QStringLiteral("color")));
    EXPECT_TRUE(status->toolTip().contains(QStringLiteral("42 datagrams dropped by the system")));
    // After a loss the tooltip still tells the port and whether it is bound.
    EXPECT_TRUE(status->toolTip().endsWith(QStringLiteral("\n当前正在监听UDP 5514端口信息")))
        << status->toolTip().toStdString();
    app.core().port().close();
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(status->text(), QStringLiteral("Filtering info: not listening, no port is bound"));
    EXPECT_TRUE(status->toolTip().contains(QStringLiteral("42 datagrams dropped by the system")));
    EXPECT_TRUE(status->toolTip().endsWith(QStringLiteral("\nNot listening: UDP port 5514 is not bound")))
        << status->toolTip().toStdString();
}

TEST(Receiving, AnErrorOfTheReceiverReachesTheMessageBoxWithItsText)
{
    AppHarness app;
    ASSERT_TRUE(app.start());
    app.writeEngine.failing = true;
    app.clock.set(app.clock.now().addDays(1));
    app.socket.arrive("<13>info: first of a new day");
    ASSERT_TRUE(app.sync());
    ASSERT_TRUE(app.settle());
    EXPECT_EQ(app.dialogs.messages, QStringList{QStringLiteral("刷新共享数据库连接错误")});
    // The day list shows the new day's table at once.
    EXPECT_EQ(control<QComboBox>(*app.window, "日志日期")->count(), 2);
}

TEST(Receiving, ARecordTheLoadReadIsToldByItsIdAndAGenuineRepeatIsShown)
{
    AppHarness app;
    createDay(app.readEngine, app.dbPath(), app.today(), 3);
    ASSERT_TRUE(app.start());
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    ASSERT_EQ(list->count(), 3);
    const QString lastRead = list->item(2)->text();
    LogRecord record(app.today() + u" 10:00:00"_s, u"10.0.0.1"_s, u"row 3"_s);

    // The receiver told about the record before the load read it, but it
    // arrives after the load (a service's link, another thread).
    record.id = 3;
    emit app.core().recordToShow(record);
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(list->count(), 3);

    // The same message from the same host in the same second, stored again,
    // and once more into the recovery file (no ID): both are shown.
    record.id = 4;
    emit app.core().recordToShow(record);
    record.id = 0;
    emit app.core().recordToShow(record);
    ASSERT_TRUE(app.sync());
    ASSERT_EQ(list->count(), 5);
    EXPECT_EQ(list->item(3)->text(), lastRead);
    EXPECT_EQ(list->item(4)->text(), lastRead);
}

TEST(FieldsView, SwitchingKeepsTheLinesIsRememberedAndAnOldDayShowsEmptyFields)
{
    AppHarness app(Language::English, true);
    const quint16 port = unusedUdpPort();
    app.settings.values[QStringLiteral("port")] = QString::number(port);
    app.settings.values[QStringLiteral("msgfilter")] = QStringLiteral("0");
    createDay(app.readEngine, app.dbPath(), QStringLiteral("2026-11-30"), 2);
    ASSERT_TRUE(app.start());
    auto* list = control<ExtentListWidget>(*app.window, "txtoutput");
    auto* table = list->findChild<QTableView*>(QStringLiteral("fieldsView"));
    ASSERT_NE(table, nullptr);
    EXPECT_FALSE(fieldsViewShown(*list)); // the plain list unless chosen
    EXPECT_FALSE(app.settings.values.contains(QStringLiteral("fieldsview")));

    QUdpSocket sender;
    sender.writeDatagram(QByteArray("<35>Dec  7 12:00:00 vm sshd[7]: info: key refused"), QHostAddress::LocalHost, port);
    QTRY_COMPARE(list->count(), 1);
    const QString line = list->item(0)->text();

    showFieldsView(*list, true);
    EXPECT_FALSE(table->isHidden());
    EXPECT_EQ(app.settings.values.value(QStringLiteral("fieldsview")), QStringLiteral("1"));
    QAbstractItemModel* rows = table->model();
    ASSERT_EQ(rows->rowCount(), 1);
    const auto cell = [rows](int row, int column) { return rows->index(row, column).data().toString(); };
    EXPECT_TRUE(line.startsWith(cell(0, FieldsModel::Time) + u" IP:"_s + cell(0, FieldsModel::Address) + u' '))
        << line.toStdString();
    EXPECT_EQ(cell(0, FieldsModel::Message), u"info: key refused"_s);
    EXPECT_EQ(cell(0, FieldsModel::Severity), u"3 error"_s);
    EXPECT_EQ(cell(0, FieldsModel::Facility), u"4 auth"_s);
    EXPECT_EQ(cell(0, FieldsModel::Host), u"vm"_s);
    EXPECT_EQ(cell(0, FieldsModel::Program), u"sshd"_s);

    // A day stored before fields were kept: its lines, with empty fields.
    auto* days = control<QComboBox>(*app.window, "日志日期");
    days->setCurrentIndex(0);
    app.window->loadChosenDay();
    ASSERT_TRUE(app.settle());
    ASSERT_EQ(rows->rowCount(), 2);
    EXPECT_EQ(cell(1, FieldsModel::Message), u"row 2"_s);
    EXPECT_EQ(cell(1, FieldsModel::Address), u"10.0.0.1"_s);
    for (int column : {FieldsModel::Severity, FieldsModel::Facility, FieldsModel::Host, FieldsModel::Program})
        EXPECT_TRUE(cell(1, column).isEmpty()) << column;

    // Sorting the view leaves the list's own order alone.
    table->sortByColumn(FieldsModel::Message, Qt::DescendingOrder);
    EXPECT_EQ(cell(0, FieldsModel::Message), u"row 2"_s);
    EXPECT_EQ(list->item(0)->text(), u"2026-11-30 10:00:00 IP:10.0.0.1 row 1"_s);
    // A double click on a sorted row copies that row's line.
    emit table->doubleClicked(rows->index(1, FieldsModel::Host));
    ASSERT_FALSE(app.clipboard.texts.isEmpty());
    EXPECT_EQ(app.clipboard.texts.last(), list->item(0)->text());

    // The search window opened later starts in the view chosen; switching
    // back shows the plain list with the same lines.
    app.window->openSearch();
    EXPECT_TRUE(fieldsViewShown(*app.window->searchWindow()->resultList()));
    showFieldsView(*list, false);
    EXPECT_TRUE(table->isHidden());
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(app.settings.values.value(QStringLiteral("fieldsview")), QStringLiteral("0"));
}
