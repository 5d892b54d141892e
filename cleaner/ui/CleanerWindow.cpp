#include "cleaner/ui/CleanerWindow.h"

#include "cleaner/CleanerDays.h"
#include "platform/Background.h"
#include "platform/Clock.h"
#include "platform/Database.h"
#include "platform/Dialogs.h"
#include "platform/ui/Named.h"
#include "platform/ui/Twips.h"
#include "store/Compaction.h"
#include "store/LogDatabase.h"

#include <QCloseEvent>
#include <QFont>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

namespace {

// The designed geometry, in twips: the client area, the list along its left
// edge, the buttons in a column right of it.
constexpr double kClientWidth = 2595;
constexpr double kClientHeight = 4260;
constexpr double kListWidth = 1455;
constexpr double kButtonsLeft = 1560;
constexpr double kButtonWidth = 950;
constexpr double kButtonHeight = 495;

} // namespace

CleanerWindow::CleanerWindow(LogDatabase& database, DbEngine& engine, Dialogs& dialogs, const Clock& clock,
                             std::function<void()> onClosed, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint)
    , database_(database)
    , engine_(engine)
    , dialogs_(dialogs)
    , clock_(clock)
    , onClosed_(std::move(onClosed))
{
    setObjectName(QStringLiteral("form4"));
    buildControls();
    applyCaptions();
    connectCommands();
    loadDayList();
}

void CleanerWindow::buildControls()
{
    setFont(songtiFont(10.5));
    dayList_ = makeNamed<QListWidget>(QStringLiteral("日志总览"), this);
    olderThan15Button_ = makeNamed<QPushButton>(QStringLiteral("十五天前"), this);
    olderThan30Button_ = makeNamed<QPushButton>(QStringLiteral("三十天前"), this);
    olderThan90Button_ = makeNamed<QPushButton>(QStringLiteral("九十天前"), this);
    markAllButton_ = makeNamed<QPushButton>(QStringLiteral("全选"), this);
    deleteButton_ = makeNamed<QPushButton>(QStringLiteral("删除"), this);

    setTabOrder(dayList_, deleteButton_);
    setTabOrder(deleteButton_, olderThan30Button_);
    setTabOrder(olderThan30Button_, olderThan15Button_);
    setTabOrder(olderThan15Button_, olderThan90Button_);
    setTabOrder(olderThan90Button_, markAllButton_);
}

void CleanerWindow::applyCaptions()
{
    setWindowTitle(tr("Clean logs"));
    olderThan15Button_->setText(tr("15 days ago"));
    olderThan30Button_->setText(tr("30 days ago"));
    olderThan90Button_->setText(tr("90 days ago"));
    markAllButton_->setText(tr("all"));
    deleteButton_->setText(tr("delete"));
    layOut();
}

// The designed geometry where the texts fit it. Where they do not, the list
// widens to show a whole date beside its check box, the buttons to the widest
// caption (moving right with the list), and the window to hold them and its
// title.
void CleanerWindow::layOut()
{
    const double listWidth = std::max(kListWidth, entryWidth());
    double captionWidth = 0;
    for (const QPushButton* command :
         {olderThan15Button_, olderThan30Button_, olderThan90Button_, markAllButton_, deleteButton_})
        captionWidth = std::max(captionWidth, twips::captionWidth(command));
    const double buttonsLeft = kButtonsLeft + (listWidth - kListWidth);
    const double buttonWidth = std::max(kButtonWidth, captionWidth);
    const double clientWidth = std::max(kClientWidth + (buttonsLeft - kButtonsLeft) + (buttonWidth - kButtonWidth),
                                        twips::outerWidthForTitle(windowTitle()));
    setFixedSize(twips::toPixels(clientWidth), twips::toPixels(kClientHeight));

    twips::place(dayList_, 0, 0, listWidth, kClientHeight);
    // The first button is 5 twips narrower by design.
    twips::place(olderThan15Button_, buttonsLeft, 240, std::max(kButtonWidth - 5, captionWidth), kButtonHeight);
    twips::place(olderThan30Button_, buttonsLeft, 1080, buttonWidth, kButtonHeight);
    twips::place(olderThan90Button_, buttonsLeft, 1920, buttonWidth, kButtonHeight);
    twips::place(markAllButton_, buttonsLeft, 2760, buttonWidth, kButtonHeight);
    twips::place(deleteButton_, buttonsLeft, 3600, buttonWidth, kButtonHeight);
}

// The width the list needs for an entry (a date with its check box), its
// frame and a vertical scroll bar.
double CleanerWindow::entryWidth()
{
    auto* sample = new QListWidgetItem(QStringLiteral("2026-12-07"), dayList_);
    sample->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    sample->setCheckState(Qt::Unchecked);
    const int entry = dayList_->sizeHintForColumn(0);
    delete sample;
    const int scrollBar = dayList_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, dayList_);
    return twips::fromPixels(entry + 2 * dayList_->frameWidth() + scrollBar);
}

void CleanerWindow::connectCommands()
{
    connect(olderThan15Button_, &QPushButton::clicked, this, [this] { markOlderThan(15); });
    connect(olderThan30Button_, &QPushButton::clicked, this, [this] { markOlderThan(30); });
    connect(olderThan90Button_, &QPushButton::clicked, this, [this] { markOlderThan(90); });
    connect(markAllButton_, &QPushButton::clicked, this, [this] { markAll(); });
    connect(deleteButton_, &QPushButton::clicked, this, [this] { deleteMarked(); });
}

void CleanerWindow::loadDayList()
{
    dayList_->clear();
    QStringList days;
    try {
        days = database_.dayList();
    } catch (const DbError& error) {
        dialogs_.warning(tr("Could not read the list of logs:\n%1").arg(error.text()));
        return;
    }
    for (const QString& day : cleanerDays(days, clock_.now().date())) {
        auto* entry = new QListWidgetItem(day, dayList_);
        entry->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        entry->setCheckState(Qt::Unchecked);
    }
}

void CleanerWindow::markOlderThan(int days)
{
    const QDate today = clock_.now().date();
    for (int i = 0; i < dayList_->count(); ++i) {
        QListWidgetItem* entry = dayList_->item(i);
        entry->setCheckState(isMoreDaysAgoThan(entry->text(), today, days) ? Qt::Checked : Qt::Unchecked);
    }
}

void CleanerWindow::markAll()
{
    for (int i = 0; i < dayList_->count(); ++i)
        dayList_->item(i)->setCheckState(Qt::Checked);
}

// Dropping and compacting run off the window's thread; the window takes no
// command and refuses to close until both are done.
void CleanerWindow::deleteMarked()
{
    if (busy_)
        return;
    setBusy(true);
    LogDatabase* database = &database_;
    runInBackground(
        work_, this, [database, days = markedDays()] { return ::dropDayTables(*database, days).failures; },
        [this](const QStringList& failures) {
            reportDropFailures(failures);
            compact();
        });
}

void CleanerWindow::compact()
{
    DbEngine* engine = &engine_;
    runInBackground(
        work_, this,
        [engine, path = database_.path(), programDir = database_.programDir()] {
            return compactDatabaseFile(*engine, path, programDir).error();
        },
        [this](const QString& failure) {
            if (!failure.isEmpty())
                dialogs_.warning(failure);
            loadDayList();
            setBusy(false);
        });
}

CleanerWindow::~CleanerWindow() { work_.waitForDone(); }

// Each table goes whole or stays whole; a failing day does not stop the others.
QStringList CleanerWindow::dropDayTables(const QStringList& days) { return ::dropDayTables(database_, days).failures; }

void CleanerWindow::reportDropFailures(const QStringList& failures)
{
    if (failures.isEmpty())
        return;
    dialogs_.warning(tr("The logs of these days could not be deleted:\n%1").arg(failures.join(QLatin1Char('\n'))));
}

// While the tables are dropped and the file compacted, the window takes no
// further command and refuses to close: a close then would hand the file back
// to the writer mid-way.
void CleanerWindow::setBusy(bool busy)
{
    busy_ = busy;
    for (QPushButton* command :
         {olderThan15Button_, olderThan30Button_, olderThan90Button_, markAllButton_, deleteButton_})
        command->setEnabled(!busy);
}

QStringList CleanerWindow::listedDays() const
{
    QStringList days;
    for (int i = 0; i < dayList_->count(); ++i)
        days << dayList_->item(i)->text();
    return days;
}

QStringList CleanerWindow::markedDays() const
{
    QStringList days;
    for (int i = 0; i < dayList_->count(); ++i) {
        if (dayList_->item(i)->checkState() == Qt::Checked)
            days << dayList_->item(i)->text();
    }
    return days;
}

// The database goes back to the writer once per opening: a window that is
// not shown has nothing to hand back.
void CleanerWindow::closeEvent(QCloseEvent* event)
{
    if (busy_) {
        event->ignore();
        return;
    }
    const bool wasOpen = isVisible();
    event->accept();
    if (wasOpen && onClosed_)
        onClosed_();
}
