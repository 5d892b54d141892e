#include "tests/app/AppHarness.h"

#include "cleaner/ui/CleanerWindow.h"
#include "intake/ui/FilteredMessagesWindow.h"
#include "platform/ui/ExtentListWidget.h"
#include "search/ui/SearchWindow.h"
#include "store/LogDatabase.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QPushButton>
#include <QSaveFile>
#include <QStyle>
#include <QStyleOptionButton>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

using Texts = QMap<QString, QString>;

// What a window shows: its title and, by object name, the text of every
// visible label, button, input box and drop-down list.
Texts visibleTexts(const QWidget& window)
{
    Texts texts{{u"title"_s, window.windowTitle()}};
    for (const QWidget* control : window.findChildren<QWidget*>()) {
        if (!control->isVisibleTo(&window))
            continue;
        if (const auto* label = qobject_cast<const QLabel*>(control))
            texts[control->objectName()] = label->text();
        else if (const auto* button = qobject_cast<const QAbstractButton*>(control))
            texts[control->objectName()] = button->text();
        else if (const auto* box = qobject_cast<const QLineEdit*>(control))
            texts[control->objectName()] = box->text();
        else if (const auto* list = qobject_cast<const QComboBox*>(control))
            texts[control->objectName()] = list->currentText();
    }
    return texts;
}

// One line per text, so that a failure shows which differ.
std::string listed(const Texts& texts)
{
    QStringList lines;
    for (auto it = texts.begin(); it != texts.end(); ++it)
        lines << it.key() + u" = \""_s + it.value() + u'"';
    return lines.join(u'\n').toStdString();
}

std::string shown(const QWidget& window) { return listed(visibleTexts(window)); }

// The captions users know, in one language. Texts that read the same in
// both languages are written out in the walk itself.
struct KnownCaptions {
    Language language;
    Texts mainWindow;  // as designed, before the startup adds the version and the days
    QString twoDays;
    QString statusAtFirstTick;  // 1 datagram rejected, 1 accepted
    QString statusFilterOff;
    QString exportCommand;
    Texts searchWindow;
    QString bothBoxesEmpty;
    QString searchFailedPrefix;
    Texts cleanerWindow;
    // A window on a receiver that does not answer or is gone.
    QString statusNotAnswering;
    QString refusedNotAnswering;
    QString refusedNotReachable;
    QString noAnswerAtStartup;  // %1 the database, %2 the receiver's socket
};

const KnownCaptions kChinese{
    Language::Chinese,
    {{u"title"_s, u"凯维"_s}, {u"大标题"_s, u"凯维"_s}, {u"清理"_s, u"清理"_s}, {u"搜索"_s, u"搜索"_s},
     {u"日志日期"_s, QString()}, {u"记录数"_s, u"总记录0天"_s}, {u"过滤信息"_s, u"过滤信息:已过滤无效信息0条"_s},
     {u"版权说明"_s, u"开发者博客"_s}},
    u"总记录2天"_s,
    u"过滤信息:已过滤无效信息1条,接收速率1条/秒"_s,
    u"过滤信息:消息过滤功能已关闭"_s,
    u"导出…"_s,
    {{u"title"_s, u"搜索日志"_s}, {u"Label1"_s, u"时间范围"_s}, {u"搜索日期"_s, u"全部"_s}, {u"Label3"_s, u"查询IP"_s},
     {u"查询IP"_s, u"输入查询IP"_s}, {u"Label2"_s, u"内容关键字"_s}, {u"关键字"_s, u"输入关键字"_s},
     {u"给我搜"_s, u"给我搜"_s}},
    u"搜索关键字和查询IP不能同时为空"_s,
    u"搜索日志时发生错误："_s,
    {{u"title"_s, u"清理日志"_s}, {u"十五天前"_s, u"十五天前"_s}, {u"三十天前"_s, u"三十天前"_s},
     {u"九十天前"_s, u"九十天前"_s}, {u"全选"_s, u"全选"_s}, {u"删除"_s, u"删除"_s}},
    u"过滤信息:服务没有响应"_s,
    u"服务没有响应，操作未执行。请在服务恢复响应后重试。"_s,
    u"无法连接服务，操作未执行。服务恢复后窗口会自动重新连接。"_s,
    u"无法打开或创建日志数据库 %1：%2 上没有服务回应\n程序将退出。"_s,
};

const KnownCaptions kEnglish{
    Language::English,
    {{u"title"_s, u"KIV Syslog Server"_s}, {u"大标题"_s, u"KIV Syslog Server"_s}, {u"清理"_s, u"Cleaner"_s},
     {u"搜索"_s, u"Search"_s}, {u"日志日期"_s, QString()}, {u"记录数"_s, u"Total record days"_s},
     {u"过滤信息"_s, u"Filtering information: 0 invalid information has been filtered"_s},
     {u"版权说明"_s, u"Developer blog"_s}},
    u"log 2 days"_s,
    u"Filtering info: 1 invalid info has been filtered. Recv rate 1 per sec"_s,
    u"Filtering info: 1 Filter is disabled "_s,
    u"Export…"_s,
    {{u"title"_s, u"Search logs"_s}, {u"Label1"_s, u"Date"_s}, {u"搜索日期"_s, u"all"_s}, {u"Label3"_s, u"IP"_s},
     {u"查询IP"_s, QString()}, {u"Label2"_s, u"Keyword"_s}, {u"关键字"_s, QString()}, {u"给我搜"_s, u"Search"_s}},
    u"Keyword and IP both null not allow!"_s,
    u"Search logs error: "_s,
    {{u"title"_s, u"Clean logs"_s}, {u"十五天前"_s, u"15 days ago"_s}, {u"三十天前"_s, u"30 days ago"_s},
     {u"九十天前"_s, u"90 days ago"_s}, {u"全选"_s, u"all"_s}, {u"删除"_s, u"delete"_s}},
    u"Filtering info: the service does not answer"_s,
    u"The service does not answer; nothing was changed. Try again once it answers."_s,
    u"The service is not reachable; nothing was changed. The window attaches again as soon as the service is back."_s,
    u"Cannot open or create the log database %1: no service answers on %2\nThe program will close."_s,
};

void createDay(AppHarness& app, const QString& day)
{
    app.readEngine.open(app.dbPath(), DbEngine::OpenMode::CreateIfMissing)
        ->execute(u"CREATE TABLE %1 (\"ID\" INTEGER PRIMARY KEY, \"时间\" TEXT, \"IP地址\" TEXT, \"信息\" TEXT)"_s.arg(
            quoteName(dayTableName(day))));
}

// Opens the main window and every window and message reachable from it, and
// compares all they show with the captions users know.
void walkTheWindows(const KnownCaptions& known)
{
    const std::string language = known.mainWindow.value(u"title"_s).toStdString();
    AppHarness app(known.language);
    createDay(app, u"2026-11-20"_s);
    MainWindow& window = *app.window;
    EXPECT_EQ(shown(window), listed(known.mainWindow)) << language;
    ASSERT_TRUE(app.start());
    Texts started = known.mainWindow;
    started[u"大标题"_s] += u"%1.%2"_s.arg(KIV_VERSION_MAJOR).arg(KIV_VERSION_MINOR);
    started[u"日志日期"_s] = u"2026-12-06"_s;  // today on the harness's clock
    started[u"记录数"_s] = known.twoDays;
    EXPECT_EQ(shown(window), listed(started)) << language;
    auto* status = window.findChild<QLabel*>(u"过滤信息"_s);
    EXPECT_EQ(status->toolTip(), u"当前正在监听UDP 5514端口信息"_s) << language;
    const QList<QAction*> listCommands = window.findChild<ExtentListWidget*>(u"txtoutput"_s)->actions();
    ASSERT_EQ(listCommands.size(), 3);
    EXPECT_EQ(listCommands.first()->text(), known.exportCommand) << language;
    EXPECT_EQ(listCommands.at(1)->text(), known.language == Language::Chinese ? u"字段视图"_s : u"Fields view"_s)
        << language;
    EXPECT_EQ(listCommands.at(2)->text(), known.language == Language::Chinese ? u"规则…"_s : u"Rules…"_s) << language;

    // The status line after a tick, with the filter on and then off.
    app.socket.arrive("<13>nothing to see");
    app.socket.arrive("<13>host info: link up");
    app.secondTimer->tick();
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(status->text(), known.statusAtFirstTick) << language;
    window.toggleMessageFilter();
    ASSERT_TRUE(app.sync());
    app.secondTimer->tick();
    ASSERT_TRUE(app.sync());
    EXPECT_EQ(status->text(), known.statusFilterOff) << language;

    // The messages and the prompt of the main window's commands.
    app.dialogs.messages.clear();
    window.copyCurrentLine();
    app.socket.busyPorts.insert(6000);
    app.dialogs.answers = {u"0"_s, u"6000"_s};  // then Cancel
    window.changeServicePort();
    ASSERT_TRUE(app.sync());
    app.settings.writable = false;
    window.toggleMessageFilter();
    EXPECT_EQ(app.dialogs.messages,
              (QStringList{u"选中行内容已复制到剪切板！"_s, u"输入端口不合法，请重新输入！"_s,
                           u"6000端口已被占用，请按F2修改服务端口！"_s, u"已取消修改端口！"_s,
                           u"创建注册表键值失败，请检查是否已允许本程序写注册表！"_s}))
        << language;
    EXPECT_EQ(app.dialogs.prompts, QStringList(3, u"修改服务端口"_s)) << language;
    EXPECT_EQ(app.dialogs.promptCaptions, QStringList(3, u"输入框"_s)) << language;
    app.socket.busyPorts.clear();
    app.dialogs.answers = {u"5514"_s};
    window.changeServicePort();
    ASSERT_TRUE(app.sync());

    // The search window: captions, the all-days entry, the boxes, and its messages.
    window.openSearch();
    SearchWindow& search = *window.searchWindow();
    EXPECT_EQ(shown(search), listed(known.searchWindow)) << language;
    app.dialogs.messages.clear();
    search.runSearch();
    search.copyCurrentLine();
    app.readEngine.open(app.dbPath())->execute(u"DROP TABLE "_s + quoteName(dayTableName(u"2026-11-20"_s)));
    auto* days = search.findChild<QComboBox*>(u"搜索日期"_s);
    days->setCurrentIndex(days->findText(u"2026-11-20"_s));
    search.findChild<QLineEdit*>(u"关键字"_s)->setText(u"info"_s);
    search.runSearch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !search.searching(); }, 10000));
    ASSERT_EQ(app.dialogs.messages.size(), 3) << language;
    EXPECT_EQ(app.dialogs.messages[0], known.bothBoxesEmpty) << language;
    EXPECT_EQ(app.dialogs.messages[1], u"选中行内容已复制到剪切板！"_s) << language;
    EXPECT_TRUE(app.dialogs.messages[2].startsWith(known.searchFailedPrefix))
        << language << " " << app.dialogs.messages[2].toStdString();

    // The cleaner window and the filtered-message window.
    window.openCleaner();
    ASSERT_TRUE(app.sync());
    ASSERT_NE(window.cleanerWindow(), nullptr) << language;
    EXPECT_EQ(shown(*window.cleanerWindow()), listed(known.cleanerWindow)) << language;
    window.cleanerWindow()->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.socket.isBound(); }, 10000)) << language;
    window.openFilteredMessages();
    EXPECT_EQ(shown(*window.filteredWindow()), listed({{u"title"_s, u"被过滤的信息"_s}})) << language;

    // The write path that cannot reopen on a new day says so.
    ASSERT_TRUE(app.settle());
    app.dialogs.messages.clear();
    app.writeEngine.failing = true;
    app.clock.set(app.clock.now().addDays(1));
    app.socket.arrive("<13>host info: first of a new day");
    ASSERT_TRUE(app.sync());
    ASSERT_TRUE(app.settle());
    EXPECT_EQ(app.dialogs.messages, QStringList{u"刷新共享数据库连接错误"_s}) << language;

    // A database that cannot be read: the day list and a chosen day say so.
    app.dialogs.messages.clear();
    QSaveFile garbage(app.dbPath());
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    ASSERT_TRUE(garbage.commit());
    window.refreshDayList();
    ASSERT_TRUE(app.settle());
    window.loadChosenDay();
    ASSERT_TRUE(app.settle());
    EXPECT_EQ(app.dialogs.messages, (QStringList{u"刷新数据表列表错误"_s, u"日志日期模块错误"_s})) << language;

    // A second copy is refused the same way in both languages.
    AppHarness second(known.language);
    LockFileSingleInstance first(LockFileSingleInstance::defaultLockPath(second.dir.path()));
    ASSERT_TRUE(first.tryAcquire());
    EXPECT_FALSE(second.start());
    EXPECT_EQ(second.dialogs.messages, QStringList{u"程序已经在运行，不支持多开！"_s}) << language;

    // A receiver that stops answering: the status line says so and commands
    // are refused; once it is gone, they are refused for that.
    app.dialogs.messages.clear();
    for (int tick = 0; tick <= ReceiverLink::kSilentTicks; ++tick)
        app.pingTimer->tick();
    EXPECT_EQ(status->text(), known.statusNotAnswering) << language;
    window.toggleMessageFilter();
    app.link->detach();
    window.changeServicePort();
    EXPECT_EQ(app.dialogs.messages, (QStringList{known.refusedNotAnswering, known.refusedNotReachable})) << language;

    // A receiver that does not answer the startup: the program ends, saying so.
    AppHarness unanswered(known.language);
    unanswered.link->detach();
    EXPECT_FALSE(unanswered.start());
    EXPECT_EQ(unanswered.dialogs.messages,
              QStringList{known.noAnswerAtStartup.arg(
                  QDir::toNativeSeparators(unanswered.dbPath()),
                  QDir::toNativeSeparators(QDir(unanswered.dir.path()).filePath(u"kiv-syslog.sock"_s)))})
        << language;
}

// Every label and button of a window shows its whole text in the window's
// font, and no label covers another control.
void expectTextsFit(const QWidget& window, const std::string& where)
{
    const QList<QWidget*> controls = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (const QWidget* control : controls) {
        if (!control->isVisibleTo(&window))
            continue;
        const std::string name = where + " " + control->objectName().toStdString();
        if (const auto* button = qobject_cast<const QPushButton*>(control)) {
            EXPECT_TRUE(button->font() == window.font()) << name << " in " << button->font().toString().toStdString();
            QStyleOptionButton option;
            option.initFrom(button);
            const QRect inside = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), inside.width()) << name;
        }
        const auto* label = qobject_cast<const QLabel*>(control);
        if (!label)
            continue;
        const QSize text = label->fontMetrics().size(0, label->text());
        EXPECT_LE(text.width(), label->contentsRect().width()) << name;
        EXPECT_LE(text.height(), label->contentsRect().height()) << name;
        EXPECT_TRUE(window.rect().contains(label->geometry())) << name;
        for (const QWidget* other : controls) {
            if (other == control || !other->isVisibleTo(&window))
                continue;
            EXPECT_FALSE(label->geometry().intersects(other->geometry()))
                << name << " covers " << other->objectName().toStdString();
        }
    }
}

} // namespace

TEST(Captions, EveryWindowShowsTheCaptionsUsersKnowInBothLanguages)
{
    walkTheWindows(kChinese);
    walkTheWindows(kEnglish);
}

TEST(Captions, EveryTextFitsItsControlInBothLanguages)
{
    for (const Language language : {Language::Chinese, Language::English}) {
        const std::string where = language == Language::Chinese ? "Chinese" : "English";
        AppHarness app(language);
        for (const char* day : {"2026-08-29", "2026-10-28", "2026-11-28"})
            createDay(app, QString::fromLatin1(day));
        ASSERT_TRUE(app.start());
        MainWindow& window = *app.window;
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        app.secondTimer->tick();
        expectTextsFit(window, where + " main window");

        window.openSearch();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.searchWindow()));
        expectTextsFit(*window.searchWindow(), where + " search window");

        window.openCleaner();
        ASSERT_TRUE(app.sync());
        ASSERT_NE(window.cleanerWindow(), nullptr);
        CleanerWindow& cleaner = *window.cleanerWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&cleaner));
        expectTextsFit(cleaner, where + " cleaner");
        auto* days = cleaner.findChild<QListWidget*>(u"日志总览"_s);
        ASSERT_EQ(days->count(), 3);
        EXPECT_LE(days->sizeHintForColumn(0), days->viewport()->width()) << where << " cleaner's dates";
        cleaner.close();
    }
}
