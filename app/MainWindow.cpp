#include "MainWindow.h"

#include "CleanerWindow.h"
#include "ClickableLabel.h"
#include "Clock.h"
#include "DatagramIntake.h"
#include "Desktop.h"
#include "Dialogs.h"
#include "ExtentListWidget.h"
#include "FilteredMessagesWindow.h"
#include "KeyPreview.h"
#include "Locale.h"
#include "SearchWindow.h"
#include "ServicePort.h"
#include "SettingsStore.h"
#include "SharedWriter.h"
#include "SingleInstance.h"
#include "StatusTicker.h"
#include "Timer.h"
#include "Twips.h"
#include "UdpSocket.h"
#include "WriteQueue.h"
#include "Settings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QKeyEvent>

MainWindow::MainWindow(Services services, QWidget* parent)
    : QWidget(parent)
    , services_(std::move(services))
    , database_(services_.readEngine, services_.programDir, services_.clock)
    , writer_(std::make_unique<SharedWriter>(services_.writeEngine, database_.path(), services_.clock))
    , writeTimer_(services_.makeTimer(100))
    , secondTimer_(services_.makeTimer(1000))
    , queue_(std::make_unique<WriteQueue>(state_, *writer_, *writeTimer_, recoveryLogPathIn(services_.programDir)))
    , port_(std::make_unique<ServicePort>(services_.socket, services_.settings, services_.dialogs))
{
    setObjectName(QStringLiteral("Form1"));
    buildControls();
    intake_ = std::make_unique<DatagramIntake>(state_, *txtoutput, *queue_, *writeTimer_, database_,
                                               services_.dialogs, services_.clock, [this] { RefreshDayList(); });
    ticker_ = std::make_unique<StatusTicker>(
        state_, *过滤信息, *writeTimer_,
        [this] {
            if (filtered_)
                filtered_->RefreshFilteredView();
        },
        [this] { RefreshDayList(); });
    secondTimer_->setOnTimeout([this] { onSecondTick(); });
    services_.socket.setReceiver([this](const Datagram& datagram) { handleDatagram(datagram); });
    connectCommands();
}

MainWindow::~MainWindow()
{
    services_.socket.setReceiver({});
    writeTimer_->stop();
    secondTimer_->stop();
    // The side windows read state owned here: they go first.
    delete search_.data();
    delete cleaner_.data();
    delete filtered_.data();
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
    state_.WidestLine = 0;
    if (!services_.singleInstance.tryAcquire()) {
        services_.dialogs.message(QStringLiteral("程序已经在运行，不支持多开！"));
        return false;
    }
    state_.syslng = languageModeFor(services_.locale.localeId());
    if (state_.english())
        setEnglishCaptions();
    state_.ReceivedThisSecond = 0;
    state_.BatchWritesEnabled = true;
    state_.queue.QueueCount = 0;

    if (!openDatabase())
        return false;
    state_.CurrentDay = services_.clock.now().toString(QLatin1String(kDayFormat));
    queue_->RefreshSharedConnection(services_.dialogs);

    大标题->setText(大标题->text() + QString::number(KIV_VERSION_MAJOR) + QLatin1Char('.')
                    + QString::number(KIV_VERSION_MINOR));
    twips::fitToText(大标题);

    const StartupSettings settings = loadSettings(services_.settings);
    state_.FilterEnabled = settings.FilterEnabled;
    port_->bindAtStartup(settings.portText);
    updateListeningTooltip();
    if (shutDown_)
        return false; // closed while the port was being asked for

    if (database_.fileExists())
        LoadRecentRecords(state_.CurrentDay);
    RefreshDayList();
    secondTimer_->start();
    return true;
}

bool MainWindow::openDatabase()
{
    try {
        database_.EnsureLogDatabase();
        return true;
    } catch (const DbError& error) {
        const QString path = QDir::toNativeSeparators(database_.path());
        services_.dialogs.message(
            state_.english()
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
    services_.socket.close();
    queue_->FlushWriteQueue();
    writer_->close();
    writeTimer_->stop();
    secondTimer_->stop();
    emit shutDown();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    Form_QueryUnload();
    event->accept();
}

// ----------------------------------------------------------------- running --

void MainWindow::handleDatagram(const Datagram& datagram)
{
    // A datagram still on its way when the shutdown ran (a box of its own was
    // open meanwhile) would be queued after the final flush and lost.
    if (shutDown_)
        return;
    intake_->udpWinscok_DataArrival(datagram);
}

void MainWindow::onSecondTick()
{
    ticker_->计时器_Timer();
    twips::fitToText(过滤信息);
}

void MainWindow::updateListeningTooltip()
{
    过滤信息->setToolTip(QStringLiteral("当前正在监听UDP %1端口信息").arg(services_.socket.localPort()));
}

void MainWindow::ChangeServicePort()
{
    port_->ChangeServicePort();
    updateListeningTooltip();
}

void MainWindow::ToggleMessageFilter()
{
    ::ToggleMessageFilter(state_.FilterEnabled, services_.settings, services_.dialogs);
}

// ---------------------------------------------------------------- day list --

QString MainWindow::dayCountCaption(int days) const
{
    return state_.english() ? QStringLiteral("log %1 days").arg(days) : QStringLiteral("总记录%1天").arg(days);
}

void MainWindow::RefreshDayList()
{
    日志日期->clear();
    QStringList days;
    try {
        days = database_.dayList();
    } catch (const DbError&) {
        services_.dialogs.message(QStringLiteral("刷新数据表列表错误"));
        return;
    }
    日志日期->addItems(days);
    记录数->setText(dayCountCaption(日志日期->count()));
    twips::fitToText(记录数);
    if (!days.isEmpty())
        日志日期->setCurrentIndex(日志日期->count() - 1);
}

void MainWindow::日志日期_Click()
{
    const QString day = 日志日期->currentText();
    try {
        if (!database_.TableExists(dayTableName(day)))
            return;
    } catch (const DbError&) {
        services_.dialogs.message(QStringLiteral("日志日期模块错误"));
        return;
    }
    LoadRecentRecords(day);
}

void MainWindow::LoadRecentRecords(const QString& day)
{
    QStringList lines;
    try {
        lines = database_.loadRecentRecords(day);
    } catch (const DbError&) {
        return; // the list keeps what it showed
    }
    txtoutput->setRedraw(false);
    txtoutput->clear();
    state_.WidestLine = 0;
    txtoutput->addItems(lines);
    for (const QString& line : lines)
        state_.WidestLine = qMax<qint32>(state_.WidestLine, line.size());
    txtoutput->setRedraw(true);
    intake_->SetListHorizontalExtent(state_.WidestLine);
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
        search_ = new SearchWindow(state_.syslng, database_, services_.dialogs, services_.clipboard);
        search_->setAttribute(Qt::WA_DeleteOnClose);
    }
    search_->show();
    search_->raise();
    search_->activateWindow();
}

void MainWindow::过滤信息_DblClick()
{
    if (!filtered_) {
        filtered_ = new FilteredMessagesWindow(state_);
        filtered_->setAttribute(Qt::WA_DeleteOnClose);
    }
    filtered_->show();
    filtered_->raise();
    filtered_->activateWindow();
}

void MainWindow::清理_Click()
{
    services_.socket.close();
    queue_->FlushWriteQueue();
    writeTimer_->stop();
    RefreshDayList();
    writer_->close();
    if (!cleaner_) {
        cleaner_ = new CleanerWindow(state_.syslng, database_, services_.readEngine, services_.dialogs,
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
    state_.DayListRefreshPending = 1;
    rebindAfterCleaning();
    writeTimer_->start();
}

void MainWindow::rebindAfterCleaning()
{
    // F2 may have bound the socket again while the cleaner was open.
    if (services_.socket.isBound())
        return;
    port_->bindAtStartup(QString::number(services_.socket.localPort()));
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
