#include "search/ui/SearchWindow.h"

#include "platform/Language.h"
#include "platform/ui/ExtentListWidget.h"
#include "search/ui/FieldsView.h"
#include "tests/search/SearchTestDatabase.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QString kDay1 = QStringLiteral("2026-12-01");
const QString kDay2 = QStringLiteral("2026-12-02");
const QString kDay3 = QStringLiteral("2026-12-03");

class SearchWindowTest : public ::testing::Test {
protected:
    SearchWindow& open(Language language = Language::Chinese)
    {
        useLanguage(language);
        window_ = std::make_unique<SearchWindow>(db_.database, dialogs_, clipboard_);
        return *window_;
    }
    SearchWindow& openShown(Language language = Language::Chinese)
    {
        open(language);
        window_->show();
        window_->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
        return *window_;
    }

    template <typename T>
    T* control(const char* name)
    {
        T* found = window_->findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QComboBox* days() { return control<QComboBox>("搜索日期"); }
    QLineEdit* keyword() { return control<QLineEdit>("关键字"); }
    QLineEdit* ip() { return control<QLineEdit>("查询IP"); }
    QPushButton* searchButton() { return control<QPushButton>("给我搜"); }
    ExtentListWidget* results() { return control<ExtentListWidget>("txtoutput"); }
    QString caption(const char* label) { return control<QLabel>(label)->text(); }

    QStringList resultLines()
    {
        QStringList lines;
        for (int row = 0; row < results()->count(); ++row)
            lines << results()->item(row)->text();
        return lines;
    }
    QStringList dayEntries()
    {
        QStringList entries;
        for (int i = 0; i < days()->count(); ++i)
            entries << days()->itemText(i);
        return entries;
    }
    void search(const QString& keywordText, const QString& ipText = QString())
    {
        keyword()->setText(keywordText);
        ip()->setText(ipText);
        QTest::mouseClick(searchButton(), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([this] { return !window_->searching(); }, 10000));
    }
    void addHits(const QString& day, const QStringList& messages)
    {
        QList<LogRecord> records;
        for (const QString& message : messages)
            records << SearchTestDatabase::record(day, QStringLiteral("10.0.0.1"), message);
        db_.addDay(day, records);
    }

    SearchTestDatabase db_;
    FakeDialogs dialogs_;
    FakeClipboard clipboard_;
    std::unique_ptr<SearchWindow> window_;
};

TEST_F(SearchWindowTest, ChineseModeShowsDesignCaptionsAndPlaceholders)
{
    db_.addDay(kDay1);
    open(Language::Chinese);

    EXPECT_EQ(window_->objectName(), QStringLiteral("Form2"));
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("搜索日志"));
    EXPECT_EQ(caption("Label1"), QStringLiteral("时间范围"));
    EXPECT_EQ(caption("Label2"), QStringLiteral("内容关键字"));
    EXPECT_EQ(caption("Label3"), QStringLiteral("查询IP"));
    EXPECT_EQ(searchButton()->text(), QStringLiteral("给我搜"));
    EXPECT_EQ(keyword()->text(), QStringLiteral("输入关键字"));
    EXPECT_EQ(ip()->text(), QStringLiteral("输入查询IP"));
    EXPECT_EQ(days()->currentText(), QStringLiteral("全部"));
    EXPECT_EQ(dayEntries(), (QStringList{QStringLiteral("全部"), kDay1}));
    EXPECT_EQ(window_->focusWidget(), days());
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}

TEST_F(SearchWindowTest, EnglishModeShowsEnglishCaptionsAndEmptyBoxes)
{
    db_.addDay(kDay1);
    open(Language::English);

    EXPECT_EQ(window_->windowTitle(), QStringLiteral("Search logs"));
    EXPECT_EQ(caption("Label1"), QStringLiteral("Date"));
    EXPECT_EQ(caption("Label2"), QStringLiteral("Keyword"));
    EXPECT_EQ(caption("Label3"), QStringLiteral("IP"));
    EXPECT_EQ(searchButton()->text(), QStringLiteral("Search"));
    EXPECT_TRUE(keyword()->text().isEmpty());
    EXPECT_TRUE(ip()->text().isEmpty());
    EXPECT_EQ(days()->currentText(), QStringLiteral("all"));
    EXPECT_EQ(dayEntries(), (QStringList{QStringLiteral("all"), kDay1}));

    // In English mode a search of empty boxes is refused in English.
    QTest::mouseClick(searchButton(), Qt::LeftButton);
    EXPECT_EQ(dialogs_.messages, QStringList{QStringLiteral("Keyword and IP both null not allow!")});
}

TEST_F(SearchWindowTest, ControlsSitAtTheirDesignPlacesInTabOrderWithTheSameFont)
{
    db_.addDay(kDay1);
    open();

    EXPECT_EQ(window_->size(), QSize(624, 422));
    EXPECT_EQ(days()->geometry(), QRect(68, 12, 96, 22));
    EXPECT_EQ(keyword()->geometry(), QRect(420, 13, 129, 21));
    EXPECT_EQ(searchButton()->geometry(), QRect(560, 10, 57, 25));
    EXPECT_EQ(ip()->geometry(), QRect(216, 13, 115, 21));
    EXPECT_EQ(results()->geometry(), QRect(0, 40, 625, 382));
    EXPECT_EQ(control<QLabel>("Label1")->pos(), QPoint(8, 16));
    EXPECT_EQ(control<QLabel>("Label3")->pos(), QPoint(172, 16));
    EXPECT_EQ(control<QLabel>("Label2")->pos(), QPoint(341, 16));

    QList<QWidget*> chain;
    QWidget* next = days();
    do {
        if (next->focusPolicy() & Qt::TabFocus && next->parentWidget() == window_.get())
            chain << next;
        next = next->nextInFocusChain();
    } while (next != days());
    EXPECT_EQ(chain, (QList<QWidget*>{days(), keyword(), searchButton(), results(), ip()}));

    for (const char* name : {"Label1", "搜索日期", "Label2", "关键字", "给我搜", "txtoutput", "查询IP", "Label3"}) {
        const QFont font = control<QWidget>(name)->font();
        // The day list may step down from 10.5 pt where the fallback font is
        // too wide to show a whole date.
        if (QLatin1String(name) == QLatin1String("搜索日期"))
            EXPECT_LE(font.pointSizeF(), 10.5) << name;
        else
            EXPECT_DOUBLE_EQ(font.pointSizeF(), 10.5) << name;
        EXPECT_EQ(font.families().value(0), QStringLiteral("SimSun")) << name;
        EXPECT_TRUE(font.families().contains(QStringLiteral("宋体"))) << name;
    }
}

TEST_F(SearchWindowTest, UnreadableDatabaseIsReportedAndLeavesTheAllDaysEntry)
{
    open(Language::Chinese);
    ASSERT_EQ(dialogs_.messages.size(), 1);
    EXPECT_TRUE(dialogs_.messages[0].startsWith(QStringLiteral("读取日志日期列表时发生错误：unable to open database file")))
        << dialogs_.messages[0].toStdString();
    EXPECT_EQ(dayEntries(), QStringList{QStringLiteral("全部")});
    EXPECT_EQ(days()->currentText(), QStringLiteral("全部"));

    QFile garbage(db_.database.path());
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    dialogs_.messages.clear();
    open(Language::English);
    ASSERT_EQ(dialogs_.messages.size(), 1);
    EXPECT_TRUE(dialogs_.messages[0].startsWith(QStringLiteral("Could not read the list of log days: ")));
    EXPECT_GT(dialogs_.messages[0].size(), QStringLiteral("Could not read the list of log days: ").size());
    EXPECT_EQ(dayEntries(), QStringList{QStringLiteral("all")});
}

TEST_F(SearchWindowTest, ClickingABoxRemovesItsPlaceholderButTabbingDoesNot)
{
    db_.addDay(kDay1);
    openShown();

    QTest::keyClick(days(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), keyword());
    EXPECT_EQ(keyword()->text(), QStringLiteral("输入关键字"));

    QTest::mouseClick(keyword(), Qt::LeftButton);
    EXPECT_TRUE(keyword()->text().isEmpty());
    EXPECT_EQ(ip()->text(), QStringLiteral("输入查询IP"));

    QTest::keyClicks(keyword(), QStringLiteral("kernel"));
    QTest::mouseClick(keyword(), Qt::LeftButton);
    EXPECT_EQ(keyword()->text(), QStringLiteral("kernel"));

    QTest::mouseClick(ip(), Qt::LeftButton);
    EXPECT_TRUE(ip()->text().isEmpty());
}

TEST_F(SearchWindowTest, SearchRemovesPlaceholdersAndRefusesTwoEmptyBoxes)
{
    addHits(kDay1, {QStringLiteral("old line")});
    open();
    search(QStringLiteral("old"));
    ASSERT_EQ(results()->count(), 1);

    // Both boxes showing placeholders: emptied, then refused; the list stays.
    keyword()->setText(QStringLiteral("输入关键字"));
    ip()->setText(QStringLiteral("输入查询IP"));
    QTest::mouseClick(searchButton(), Qt::LeftButton);
    EXPECT_TRUE(keyword()->text().isEmpty());
    EXPECT_TRUE(ip()->text().isEmpty());
    EXPECT_EQ(dialogs_.messages, QStringList{QStringLiteral("搜索关键字和查询IP不能同时为空")});
    EXPECT_EQ(results()->count(), 1);

    // A placeholder beside a real keyword never reaches the query.
    dialogs_.messages.clear();
    keyword()->setText(QStringLiteral("old"));
    ip()->setText(QStringLiteral("输入查询IP"));
    QTest::mouseClick(searchButton(), Qt::LeftButton);
    EXPECT_TRUE(ip()->text().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->searching(); }, 10000));
    EXPECT_EQ(resultLines(), QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 old line")});
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}

TEST_F(SearchWindowTest, AllDaysSearchListsEveryDayInOrder)
{
    addHits(kDay1, {QStringLiteral("hit one")});
    addHits(kDay2, {QStringLiteral("miss")});
    addHits(kDay3, {QStringLiteral("hit three")});
    open();

    search(QStringLiteral("hit"));
    EXPECT_EQ(resultLines(), (QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 hit one"),
                                          QStringLiteral("2026-12-03 10:00:00 IP:10.0.0.1 hit three")}));
    EXPECT_EQ(window_->searchWidestLine(), QStringLiteral("2026-12-03 10:00:00 IP:10.0.0.1 hit three").size());
    EXPECT_TRUE(dialogs_.messages.isEmpty());

    // One chosen day searches that day only.
    days()->setCurrentText(kDay3);
    search(QString(), QStringLiteral("10.0"));
    EXPECT_EQ(resultLines(), QStringList{QStringLiteral("2026-12-03 10:00:00 IP:10.0.0.1 hit three")});
}

TEST_F(SearchWindowTest, DroppedDayKeepsEarlierLinesAndNamesTheStoresComplaint)
{
    addHits(kDay1, {QStringLiteral("hit one")});
    addHits(kDay2, {QStringLiteral("hit two")});
    addHits(kDay3, {QStringLiteral("hit three")});
    open(Language::Chinese);
    db_.dropDay(kDay2);

    search(QStringLiteral("hit"));
    EXPECT_EQ(resultLines(), QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 hit one")});
    EXPECT_EQ(dialogs_.messages, QStringList{QStringLiteral("搜索日志时发生错误：no such table: syslog-2026-12-02")});
    EXPECT_EQ(results()->horizontalExtent(), horizontalExtentFor(resultLines()[0].size()));
    EXPECT_TRUE(results()->updatesEnabled());

    dialogs_.messages.clear();
    open(Language::English);
    db_.dropDay(kDay3);
    search(QStringLiteral("hit"));
    EXPECT_EQ(dialogs_.messages, QStringList{QStringLiteral("Search logs error: no such table: syslog-2026-12-03")});
}

TEST_F(SearchWindowTest, AllDaysWithoutDailyTablesFindsNothingSilently)
{
    db_.createEmpty();
    open();
    EXPECT_EQ(dayEntries(), QStringList{QStringLiteral("全部")});

    search(QStringLiteral("anything"));
    EXPECT_EQ(results()->count(), 0);
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}

TEST_F(SearchWindowTest, SearchThatFindsNothingKeepsTheHorizontalExtent)
{
    addHits(kDay1, {QStringLiteral("a rather long message line")});
    open();

    search(QStringLiteral("long"));
    const int extent = results()->horizontalExtent();
    EXPECT_EQ(extent, horizontalExtentFor(window_->searchWidestLine()));
    EXPECT_TRUE(results()->hasHorizontalScrollBar());

    search(QStringLiteral("nowhere"));
    EXPECT_EQ(results()->count(), 0);
    EXPECT_EQ(window_->searchWidestLine(), 0);
    EXPECT_EQ(results()->horizontalExtent(), extent);
    EXPECT_TRUE(dialogs_.messages.isEmpty());
}

TEST(ResultListSizeTest, FollowsTheWindowOnlyAboveTheThresholds)
{
    EXPECT_EQ(resultListSizeFor(QSize(6976, 1101)), QSize(6736, 1));
    EXPECT_EQ(resultListSizeFor(QSize(12000, 9000)), QSize(11760, 7900));
    EXPECT_EQ(resultListSizeFor(QSize(6975, 9000)), std::nullopt);
    EXPECT_EQ(resultListSizeFor(QSize(12000, 1100)), std::nullopt);
}

TEST_F(SearchWindowTest, ResizingFitsTheListAndShrinkingTooFarLeavesIt)
{
    db_.addDay(kDay1);
    openShown();

    window_->resize(800, 600);
    QTRY_COMPARE(window_->size(), QSize(800, 600));
    const QSize frame = window_->frameGeometry().size() - window_->size();
    const QSize outerTwips = (QSize(800, 600) + frame) * 15;
    const QSize expected(qRound((outerTwips.width() - 240) / 15.0), qRound((outerTwips.height() - 1100) / 15.0));
    QTRY_COMPARE(results()->size(), expected);
    EXPECT_EQ(results()->pos(), QPoint(0, 40));
    EXPECT_EQ(searchButton()->pos(), QPoint(560, 10));

    window_->resize(400, 600);  // 6000 twips wide or less: the list keeps its size
    QTRY_COMPARE(window_->size(), QSize(400, 600));
    EXPECT_EQ(results()->size(), expected);
}

TEST_F(SearchWindowTest, DoubleClickCopiesTheCurrentLine)
{
    addHits(kDay1, {QStringLiteral("first"), QStringLiteral("second")});
    openShown();

    QTest::mouseDClick(results()->viewport(), Qt::LeftButton);
    EXPECT_EQ(clipboard_.texts, QStringList{QString()});
    EXPECT_EQ(dialogs_.messages, QStringList{QStringLiteral("选中行内容已复制到剪切板！")});

    search(QStringLiteral("second"));
    results()->setCurrentRow(0);
    const QPoint onLine = results()->visualItemRect(results()->item(0)).center();
    QTest::mouseDClick(results()->viewport(), Qt::LeftButton, {}, onLine);
    EXPECT_EQ(clipboard_.texts.last(), QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 second"));
    EXPECT_EQ(dialogs_.messages.last(), QStringLiteral("选中行内容已复制到剪切板！"));
}

TEST_F(SearchWindowTest, CopyMessageIsChineseInEnglishModeToo)
{
    db_.addDay(kDay1);
    open(Language::English);
    window_->copyCurrentLine();
    EXPECT_EQ(dialogs_.messages, QStringList{QStringLiteral("选中行内容已复制到剪切板！")});
}

} // namespace

TEST_F(SearchWindowTest, ANewSearchEndsTheOneStillRunningAndOnlyItsLinesAreListed)
{
    QStringList many;
    for (int i = 0; i < 4000; ++i)
        many << QStringLiteral("first %1").arg(i);
    addHits(kDay1, many);
    addHits(kDay2, {QStringLiteral("second hit")});
    openShown();
    keyword()->setText(QStringLiteral("first"));
    QTest::mouseClick(searchButton(), Qt::LeftButton);
    search(QStringLiteral("second"));
    EXPECT_EQ(resultLines(), QStringList{QStringLiteral("2026-12-02 10:00:00 IP:10.0.0.1 second hit")});
    // Nothing of the first search arrives later.
    QCoreApplication::processEvents();
    EXPECT_EQ(results()->count(), 1);
}

TEST_F(SearchWindowTest, TellsTheDaysLeftWhileSearching)
{
    addHits(kDay1, {QStringLiteral("hit one")});
    addHits(kDay2, {QStringLiteral("hit two")});
    open(Language::Chinese);
    keyword()->setText(QStringLiteral("hit"));
    window_->runSearch();
    auto* caption = control<QLabel>("searchProgress");
    EXPECT_TRUE(caption->isVisibleTo(window_.get()));
    EXPECT_EQ(caption->text(), QStringLiteral("正在搜索，剩余天数：2"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->searching(); }, 10000));
    EXPECT_FALSE(caption->isVisibleTo(window_.get()));
    EXPECT_EQ(resultLines().size(), 2);
}

// The further criteria are hidden until the result list's context menu asks
// for them; hidden they take no part. Shown, a search by severity and host
// runs without keyword and address, and a criterion not understood is told.
TEST_F(SearchWindowTest, FurtherCriteriaFromTheContextMenuNarrowTheSearch)
{
    const auto fields = [](int severity, const QString& host) {
        LogFields f;
        f.facility = 1;
        f.severity = severity;
        f.host = host;
        f.msgPos = 0;
        return f;
    };
    db_.addDayWithFields(kDay1, {LogRecord(kDay1 + QStringLiteral(" 10:00:00"), QStringLiteral("10.0.0.1"),
                                           QStringLiteral("disk failed"), fields(2, QStringLiteral("nas1"))),
                                 LogRecord(kDay1 + QStringLiteral(" 10:00:01"), QStringLiteral("10.0.0.1"),
                                           QStringLiteral("disk ok"), fields(6, QStringLiteral("nas1"))),
                                 LogRecord(kDay1 + QStringLiteral(" 10:00:02"), QStringLiteral("10.0.0.2"),
                                           QStringLiteral("fan failed"), fields(2, QStringLiteral("sw1")))});
    openShown(Language::English);
    auto* panel = control<QWidget>("criteriaPanel");
    EXPECT_FALSE(panel->isVisible());
    const int listTop = results()->geometry().top();
    control<QComboBox>("severityCombo")->setCurrentIndex(1 + 3); // "3 error"

    search(QStringLiteral("disk"));
    EXPECT_EQ(resultLines().size(), 2); // hidden criteria take no part
    control<QAction>("moreCriteriaAction")->trigger();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_GT(results()->geometry().top(), listTop);
    control<QLineEdit>("hostEdit")->setText(QStringLiteral("nas"));
    search(QString());
    EXPECT_EQ(resultLines(), QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 disk failed")});
    EXPECT_TRUE(dialogs_.messages.isEmpty());

    control<QLineEdit>("facilityEdit")->setText(QStringLiteral("24"));
    search(QString());
    ASSERT_EQ(dialogs_.messages.size(), 1);
    EXPECT_EQ(dialogs_.messages[0], QStringLiteral("The facility is a number of 0 to 23."));
    control<QLineEdit>("facilityEdit")->clear();
    control<QLineEdit>("toEdit")->setText(QStringLiteral("2026-12-01 10:00"));
    search(QString());
    EXPECT_EQ(resultLines(), QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 disk failed")});
    control<QLineEdit>("toEdit")->setText(QStringLiteral("today"));
    search(QString());
    EXPECT_EQ(dialogs_.messages.size(), 2);
}

// In the fields view the results show the fields of their records (none for a
// day stored without them), and the days-left caption stays above the table,
// also when the view is switched on while the search runs.
TEST_F(SearchWindowTest, FieldsViewShowsTheFieldsOfTheRecordsFound)
{
    LogFields fields;
    fields.facility = 4;
    fields.severity = 3;
    fields.host = QStringLiteral("vm");
    fields.app = QStringLiteral("sshd");
    fields.head = QStringLiteral("vm");
    fields.msgPos = 12; // after "vm sshd[7]: "
    db_.addDayWithFields(kDay1, {LogRecord(kDay1 + QStringLiteral(" 10:00:00"), QStringLiteral("10.0.0.1"),
                                           QStringLiteral("sshd[7]: disk failed"), fields)});
    db_.addDayWithoutFields(kDay2, {SearchTestDatabase::record(kDay2, QStringLiteral("10.0.0.2"),
                                                               QStringLiteral("old disk line"))});
    openShown(Language::English);
    FakeSettingsStore settings;
    QTableView* table = attachFieldsView(*results(), settings);
    keyword()->setText(QStringLiteral("disk"));
    window_->runSearch();
    showFieldsView(*results(), true);
    auto* caption = control<QLabel>("searchProgress");
    ASSERT_TRUE(caption->isVisible());
    EXPECT_EQ(window_->childAt(caption->geometry().center()), caption);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->searching(); }, 10000));

    QAbstractItemModel* rows = table->model();
    ASSERT_EQ(rows->rowCount(), 2);
    const auto cell = [rows](int row, int column) { return rows->index(row, column).data().toString(); };
    EXPECT_EQ(cell(0, FieldsModel::Severity), QStringLiteral("3 error"));
    EXPECT_EQ(cell(0, FieldsModel::Facility), QStringLiteral("4 auth"));
    EXPECT_EQ(cell(0, FieldsModel::Host), QStringLiteral("vm"));
    EXPECT_EQ(cell(0, FieldsModel::Program), QStringLiteral("sshd"));
    EXPECT_EQ(cell(0, FieldsModel::Message), QStringLiteral("disk failed"));
    EXPECT_EQ(cell(1, FieldsModel::Message), QStringLiteral("old disk line"));
    EXPECT_TRUE(cell(1, FieldsModel::Host).isEmpty());
    EXPECT_EQ(resultLines(), (QStringList{QStringLiteral("2026-12-01 10:00:00 IP:10.0.0.1 sshd[7]: disk failed"),
                                          QStringLiteral("2026-12-02 10:00:00 IP:10.0.0.2 old disk line")}));
    // A command given to the list after the view was shown is in the view's menu too.
    results()->addAction(new QAction(QStringLiteral("later"), results()));
    EXPECT_EQ(table->actions(), results()->actions());
}
