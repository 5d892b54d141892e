#include "app/MainWindow.h"

#include "app/ClickableLabel.h"
#include "app/KeyPreview.h"
#include "cleaner/ui/CleanerWindow.h"
#include "intake/ReceiverHandle.h"
#include "intake/ui/FilteredMessagesWindow.h"
#include "intake/ui/StatusCaption.h"
#include "platform/Background.h"
#include "platform/Clock.h"
#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/Locale.h"
#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/Twips.h"
#include "search/ui/ListExport.h"
#include "search/ui/SearchWindow.h"
#include "settings/Settings.h"
#include "settings/ui/FilterSwitch.h"
#include "settings/ui/ServicePort.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QKeyEvent>
#include <algorithm>
#include <optional>
#include <utility>
#include <limits>

MainWindow::MainWindow(Services services, QWidget* parent)
    : QWidget(parent)
    , services_(std::move(services))
    , database_(services_.readEngine, services_.programDir, services_.clock)
    , port_(std::make_unique<ServicePort>(services_.receiver.port(), services_.settings, services_.dialogs))
{
    setObjectName(QStringLiteral("Form1"));
    // One read at a time, so that they finish in the order they were asked for.
    loads_.setMaxThreadCount(1);
    buildControls();
    connectReceiver();
    connectCommands();
}

MainWindow::~MainWindow()
{
    // The side windows may refer to what this window owns: they go first.
    delete search_.data();
    delete cleaner_.data();
    delete filtered_.data();
    loads_.waitForDone();
}

void MainWindow::connectReceiver()
{
    ReceiverHandle* core = &services_.receiver;
    connect(core, &ReceiverHandle::lineToShow, this, [this](const QString& line) { showLine(line); });
    connect(core, &ReceiverHandle::secondElapsed, this, [this](const IntakeSecond& counters) { onSecond(counters); });
    connect(core, &ReceiverHandle::filteredUpdated, this,
            [this](const FilteredBufferUpdate& update) { onFilteredUpdated(update); });
    connect(core, &ReceiverHandle::dayTableCreated, this, [this] { RefreshDayList(); });
    connect(core, &ReceiverHandle::daysDropped, this, [this] { RefreshDayList(); });
    connect(core, &ReceiverHandle::errorRaised, this, [this](const QString& text) {
        if (!shutDown_)
            services_.dialogs.message(text);
    });
    // Attached to a service: while it is away the status line says so and the
    // list keeps its lines; once it is back the day list is read again.
    connect(core, &ReceiverHandle::serviceReachable, this, [this](bool reachable) {
        if (shutDown_)
            return;
        if (reachable) {
            RefreshDayList();
            updateListeningTooltip();
            return;
        }
        过滤信息->setText(serviceAwayCaption(english()));
        twips::fitToText(过滤信息);
    });
}

SearchWindow* MainWindow::searchWindow() const { return search_; }
CleanerWindow* MainWindow::cleanerWindow() const { return cleaner_; }
FilteredMessagesWindow* MainWindow::filteredWindow() const { return filtered_; }

// ---------------------------------------------------------------- controls --

void MainWindow::buildControls()
{
    setWindowTitle(QStringLiteral("凯维"));
    resize(twips::toPixels(10665), twips::toPixels(6735));
    setFont(songtiFont(10.5));

    大标题 = new QLabel(QStringLiteral("凯维"), this);
    大标题->setObjectName(QStringLiteral("大标题"));
    大标题->setFont(songtiFont(18));
    twips::place(大标题, 4080, 120, 1800, 360);

    清理 = new QPushButton(QStringLiteral("清理"), this);
    清理->setObjectName(QStringLiteral("清理"));
    twips::place(清理, 8040, 0, 975, 320);

    搜索 = new QPushButton(QStringLiteral("搜索"), this);
    搜索->setObjectName(QStringLiteral("搜索"));
    twips::place(搜索, 8040, 360, 975, 320);

    日志日期 = new QComboBox(this);
    日志日期->setObjectName(QStringLiteral("日志日期"));
    日志日期->setEditable(false);
    twips::place(日志日期, 9100, 360, 1440, 330);
    shrinkFontToShow(日志日期, QStringLiteral("2026-12-07"));

    记录数 = new QLabel(QStringLiteral("总记录0天"), this);
    记录数->setObjectName(QStringLiteral("记录数"));
    记录数->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    twips::place(记录数, 9540, 60, 945, 210);

    txtoutput = new ExtentListWidget(this);
    txtoutput->setObjectName(QStringLiteral("txtoutput"));
    txtoutput->setStyleSheet(QStringLiteral("QListWidget { background: white; }"));
    txtoutput->viewport()->installEventFilter(this);
    twips::place(txtoutput, 0, 720, 10610, 5730);

    过滤信息 = new ClickableLabel(QStringLiteral("过滤信息:已过滤无效信息0条"), this);
    过滤信息->setObjectName(QStringLiteral("过滤信息"));
    twips::place(过滤信息, 45, 6480, 2730, 210);

    版权说明 = new ClickableLabel(QStringLiteral("开发者博客"), this);
    版权说明->setObjectName(QStringLiteral("版权说明"));
    版权说明->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    版权说明->setCursor(Qt::PointingHandCursor);
    twips::place(版权说明, 9120, 6480, 1470, 210);

    // Keyboard order: the list, the day list, 搜索, 清理 (labels take no focus).
    setTabOrder(txtoutput, 日志日期);
    setTabOrder(日志日期, 搜索);
    setTabOrder(搜索, 清理);
    updateListeningTooltip();
}

void MainWindow::setEnglishCaptions()
{
    const QString title = QStringLiteral("KIV Syslog Server");
    setWindowTitle(title);
    大标题->setText(title);
    清理->setText(QStringLiteral("Cleaner"));
    搜索->setText(QStringLiteral("Search"));
    记录数->setText(QStringLiteral("Total record days"));
    过滤信息->setText(QStringLiteral("Filtering information: 0 invalid information has been filtered"));
    版权说明->setText(QStringLiteral("Developer blog"));
}

void MainWindow::connectCommands()
{
    connect(清理, &QPushButton::clicked, this, [this] { 清理_Click(); });
    connect(搜索, &QPushButton::clicked, this, [this] { 搜索_Click(); });
    // Only a choice made by the user loads a day; filling the list does not.
    connect(日志日期, &QComboBox::activated, this, [this] { 日志日期_Click(); });
    过滤信息->onDoubleClick = [this] { 过滤信息_DblClick(); };
    版权说明->onClick = [this] { 版权说明_Click(); };

    // F2 and F3 work whichever control has the focus: the window looks at
    // every key before its controls do.
    new KeyPreview([this](QObject* receiver, QKeyEvent* event) { Form_KeyDown(receiver, event); }, this);
}

// ----------------------------------------------------------------- startup --

bool MainWindow::Form_Load()
{
    WidestLine = 0;
    if (!services_.singleInstance.tryAcquire()) {
        services_.dialogs.message(QStringLiteral("程序已经在运行，不支持多开！"));
        return false;
    }
    syslng_ = languageModeFor(services_.locale.localeId());
    if (english())
        setEnglishCaptions();

    attachCsvExport(*txtoutput, syslng_, services_.fileChooser, services_.dialogs);
    services_.receiver.setKeepDays(loadKeepDays(services_.settings));
    if (!openDatabase())
        return false;

    大标题->setText(大标题->text() + QString::number(KIV_VERSION_MAJOR) + QLatin1Char('.')
                    + QString::number(KIV_VERSION_MINOR));
    twips::fitToText(大标题);

    const StartupSettings settings = loadSettings(services_.settings);
    FilterEnabled_ = settings.FilterEnabled;
    services_.receiver.setFilterEnabled(FilterEnabled_);
    port_->bindAtStartup(settings.portText);
    updateListeningTooltip();
    if (shutDown_)
        return false; // closed while the port was being asked for

    if (database_.fileExists())
        LoadRecentRecords(services_.clock.now().toString(QLatin1String(kDayFormat)));
    RefreshDayList();
    services_.receiver.startCounting();
    return true;
}

// The database file and today's table, made when missing, and the write path.
bool MainWindow::openDatabase()
{
    try {
        services_.receiver.openDatabase();
        return true;
    } catch (const DbError& error) {
        const QString path = QDir::toNativeSeparators(database_.path());
        services_.dialogs.message(
            english()
                ? QStringLiteral("Cannot open or create the log database %1: %2\nThe program will close.")
                      .arg(path, error.text())
                : QStringLiteral("无法打开或创建日志数据库 %1：%2\n程序将退出。").arg(path, error.text()));
        return false;
    }
}

// ---------------------------------------------------------------- shutdown --

void MainWindow::Form_QueryUnload()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    services_.receiver.shutdown();
    emit shutDown();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    Form_QueryUnload();
    event->accept();
}

// ----------------------------------------------------------------- running --

// A line the receiver passed on: at the end of the list, at most 500 lines,
// the newest selected.
void MainWindow::showLine(const QString& line)
{
    if (shutDown_)
        return;
    if (loadsPending_ > 0) {
        heldLines_ << line;
        if (heldLines_.size() > kMaxListLines)
            heldLines_.removeFirst();
        return;
    }
    if (!justLoaded_.isEmpty() && justLoaded_.removeOne(line))
        return;
    while (txtoutput->count() >= kMaxListLines)
        delete txtoutput->takeItem(0);
    txtoutput->addItem(line);
    const auto width = static_cast<qint32>(std::min<qsizetype>(line.size(), std::numeric_limits<qint32>::max()));
    if (width > WidestLine) {
        WidestLine = width;
        SetListHorizontalExtent(width);
    }
    txtoutput->setCurrentRow(txtoutput->count() - 1);
}

void MainWindow::SetListHorizontalExtent(qint32 characters)
{
    if (characters <= 0)
        return;
    constexpr qint32 widestRepresentable = (std::numeric_limits<int>::max() - horizontalExtentFor(0)) / 7;
    txtoutput->setHorizontalExtent(horizontalExtentFor(std::min(characters, widestRepresentable)));
}

// The one-second tick of the receiver: the status line, and a day-list
// reload owed since the cleaner window closed.
void MainWindow::onSecond(const IntakeSecond& counters)
{
    if (shutDown_)
        return;
    // Live lines that repeat what a load read can only come right after it.
    if (!justLoaded_.isEmpty() && ++ticksSinceLoad_ >= 2)
        justLoaded_.clear();
    过滤信息->setText(statusCaption(counters, english()));
    twips::fitToText(过滤信息);
    const QString notes = intakeNotes(counters, english());
    const bool notesChanged = notes != intakeNotes_;
    intakeNotes_ = notes;
    showLosses(counters.losses);
    if (notesChanged)
        updateListeningTooltip();
    if (DayListRefreshPending == 1) {
        RefreshDayList();
        DayListRefreshPending = 0;
    }
}

// While nothing was lost the status line looks as always; after a loss its
// text turns red and its tooltip lists every count.
void MainWindow::showLosses(const LossCounts& losses)
{
    if (!losses.any()) {
        if (lossesShown_) {
            过滤信息->setStyleSheet(QString());
            updateListeningTooltip();
            lossesShown_ = false;
        }
        return;
    }
    if (!lossesShown_)
        过滤信息->setStyleSheet(QStringLiteral("QLabel { color: #d00000; }"));
    lossesShown_ = true;
    过滤信息->setToolTip(withIntakeNotes(lossTooltip(losses, english())));
}

void MainWindow::onFilteredUpdated(const FilteredBufferUpdate& update)
{
    applyFilteredUpdate(filtered_copy_, update);
    if (filtered_ && filtered_->isOpen())
        filtered_->RefreshFilteredView();
}

void MainWindow::updateListeningTooltip()
{
    if (lossesShown_)
        return;
    过滤信息->setToolTip(
        withIntakeNotes(QStringLiteral("当前正在监听UDP %1端口信息").arg(services_.receiver.port().localPort())));
}

QString MainWindow::withIntakeNotes(const QString& tooltip) const
{
    return intakeNotes_.isEmpty() ? tooltip : tooltip + QLatin1Char('\n') + intakeNotes_;
}

void MainWindow::ChangeServicePort()
{
    port_->ChangeServicePort();
    updateListeningTooltip();
}

void MainWindow::ToggleMessageFilter()
{
    ::ToggleMessageFilter(FilterEnabled_, services_.settings, services_.dialogs);
    services_.receiver.setFilterEnabled(FilterEnabled_);
}

// ---------------------------------------------------------------- day list --

QString MainWindow::dayCountCaption(int days) const
{
    return english() ? QStringLiteral("log %1 days").arg(days) : QStringLiteral("总记录%1天").arg(days);
}

// Read off the window's thread: listing the tables may wait on the writer.
void MainWindow::RefreshDayList()
{
    ++dayListsPending_;
    LogDatabase* database = &database_;
    runInBackground(
        loads_, this,
        [database]() -> std::optional<QStringList> {
            try {
                return database->dayList();
            } catch (const DbError&) {
                return std::nullopt;
            }
        },
        [this](std::optional<QStringList> days) {
            --dayListsPending_;
            showDayList(days);
        });
}

void MainWindow::showDayList(const std::optional<QStringList>& days)
{
    日志日期->clear();
    if (!days) {
        services_.dialogs.message(QStringLiteral("刷新数据表列表错误"));
        return;
    }
    日志日期->addItems(*days);
    记录数->setText(dayCountCaption(日志日期->count()));
    twips::fitToText(记录数);
    if (!days->isEmpty())
        日志日期->setCurrentIndex(日志日期->count() - 1);
}

void MainWindow::日志日期_Click()
{
    LoadRecentRecords(日志日期->currentText(), WhenTableMissing::Ignore);
}

void MainWindow::LoadRecentRecords(const QString& day) { LoadRecentRecords(day, WhenTableMissing::Load); }

// A day chosen in the list whose table is gone (dropped meanwhile) leaves the
// list as it is; a failure to find out is told.
void MainWindow::LoadRecentRecords(const QString& day, WhenTableMissing missing)
{
    ++loadsPending_;
    LogDatabase* database = &database_;
    struct Outcome {
        std::optional<QStringList> lines;
        bool checkFailed = false;
    };
    runInBackground(
        loads_, this,
        [database, day, missing]() {
            Outcome outcome;
            try {
                if (missing == WhenTableMissing::Ignore && !database->TableExists(dayTableName(day)))
                    return outcome;
            } catch (const DbError&) {
                outcome.checkFailed = true;
                return outcome;
            }
            try {
                outcome.lines = database->loadRecentRecords(day);
            } catch (const DbError&) {
                // the list keeps what it showed
            }
            return outcome;
        },
        [this](Outcome outcome) {
            --loadsPending_;
            if (outcome.checkFailed)
                services_.dialogs.message(QStringLiteral("日志日期模块错误"));
            if (outcome.lines && !shutDown_) {
                replaceLines(*outcome.lines);
                // A record stored just before the read may still be on its
                // way as a live line: it is not shown twice.
                justLoaded_ = outcome.lines->mid(std::max<qsizetype>(0, outcome.lines->size() - kJustLoadedLines));
                ticksSinceLoad_ = 0;
            }
            if (loadsPending_ == 0) {
                const QStringList held = std::exchange(heldLines_, {});
                for (const QString& line : held)
                    showLine(line);
            }
        });
}

void MainWindow::replaceLines(const QStringList& lines)
{
    txtoutput->setRedraw(false);
    txtoutput->clear();
    WidestLine = 0;
    txtoutput->addItems(lines);
    for (const QString& line : lines)
        WidestLine = qMax<qint32>(WidestLine, line.size());
    txtoutput->setRedraw(true);
    SetListHorizontalExtent(WidestLine);
}

// ---------------------------------------------------------------- commands --

void MainWindow::txtoutput_DblClick()
{
    services_.clipboard.setText(txtoutput->currentLineText());
    services_.dialogs.message(QStringLiteral("选中行内容已复制到剪切板！"));
}

// F2 and F3 with any modifier, seen once, as the key reaches the focused
// control of this window (or the window itself); the key is not consumed.
void MainWindow::Form_KeyDown(QObject* receiver, QKeyEvent* event)
{
    QWidget* focused = QApplication::focusWidget();
    if (receiver != (focused ? static_cast<QObject*>(focused) : this) || (focused && focused->window() != this))
        return;
    switch (event->key()) {
    case Qt::Key_F2:
        ChangeServicePort();
        break;
    case Qt::Key_F3:
        ToggleMessageFilter();
        break;
    default:
        break;
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == txtoutput->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // Let the list move its current line to the clicked one first.
        txtoutput->viewport()->removeEventFilter(this);
        QCoreApplication::sendEvent(watched, event);
        txtoutput->viewport()->installEventFilter(this);
        txtoutput_DblClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::版权说明_Click()
{
    services_.shell.openUrl(QString::fromLatin1(kHomePage));
}

void MainWindow::搜索_Click()
{
    if (!search_) {
        search_ = new SearchWindow(syslng_, database_, services_.dialogs, services_.clipboard, services_.fileChooser);
        search_->setAttribute(Qt::WA_DeleteOnClose);
    }
    search_->show();
    search_->raise();
    search_->activateWindow();
}

void MainWindow::过滤信息_DblClick()
{
    if (!filtered_) {
        filtered_ = new FilteredMessagesWindow(filtered_copy_);
        filtered_->setAttribute(Qt::WA_DeleteOnClose);
    }
    filtered_->show();
    filtered_->raise();
    filtered_->activateWindow();
}

// The database file goes to the cleaner: the receiver has closed the socket,
// written its queue, stopped the write timer and closed the write path before
// the cleaner window opens.
void MainWindow::清理_Click()
{
    services_.receiver.handOverDatabase();
    RefreshDayList();
    if (!cleaner_) {
        cleaner_ = new CleanerWindow(syslng_, database_, services_.readEngine, services_.dialogs,
                                     services_.clock, [this] { onCleanerClosed(); });
        cleaner_->setAttribute(Qt::WA_DeleteOnClose);
    }
    cleaner_->show();
    cleaner_->raise();
    cleaner_->activateWindow();
}

void MainWindow::onCleanerClosed()
{
    if (shutDown_)
        return;
    DayListRefreshPending = 1;
    rebindAfterCleaning();
    services_.receiver.takeBackDatabase();
}

void MainWindow::rebindAfterCleaning()
{
    // F2 may have bound the socket again while the cleaner was open.
    ListeningPort& port = services_.receiver.port();
    if (port.isBound())
        return;
    port_->bindAtStartup(QString::number(port.localPort()));
    updateListeningTooltip();
}

// ------------------------------------------------------------------ layout --

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const QRect frame = frameGeometry();
    layoutForOuterSize(twips::fromPixels(frame.width()), twips::fromPixels(frame.height()));
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    const QRect frame = frameGeometry();
    layoutForOuterSize(twips::fromPixels(frame.width()), twips::fromPixels(frame.height()));
}

void MainWindow::layoutForOuterSize(double outerWidth, double outerHeight)
{
    if (!(outerWidth > 240 && outerHeight > 1520))
        return;
    // Single precision, as the layout rule is defined.
    const float w = static_cast<float>(outerWidth);
    const float h = static_cast<float>(outerHeight);
    twips::setWidth(txtoutput, w - 240.0f);
    twips::setHeight(txtoutput, h - 1520.0f);
    twips::setLeft(记录数, w - static_cast<float>(twips::width(记录数)) - 300.0f);
    twips::setLeft(版权说明, w - 1720.0f);
    twips::setLeft(日志日期, w - 1715.0f);
    twips::setLeft(搜索, w - 2715.0f);
    twips::setLeft(清理, w - 2715.0f);
    twips::setTop(版权说明, h - 850.0f);
    twips::setTop(过滤信息, h - 850.0f);
    twips::setLeft(大标题, w / 2.0f - static_cast<float>(twips::width(大标题)) / 2.0f - 100.0f);
}
