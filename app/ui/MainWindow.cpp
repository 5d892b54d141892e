#include "app/ui/MainWindow.h"

#include "app/Service.h"
#include "app/ui/ClickableLabel.h"
#include "app/ui/KeyPreview.h"
#include "cleaner/ui/CleanerWindow.h"
#include "intake/ReceiverHost.h"
#include "intake/ui/FilteredMessagesWindow.h"
#include "intake/ui/StatusCaption.h"
#include "platform/Background.h"
#include "platform/Clock.h"
#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/SingleInstance.h"
#include "platform/dbus/DesktopNotifier.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/Named.h"
#include "platform/ui/Twips.h"
#include "rules/RulesFile.h"
#include "rules/ui/RulesWindow.h"
#include "search/ui/FieldsView.h"
#include "search/ui/ListExport.h"
#include "search/ui/SearchWindow.h"
#include "settings/Settings.h"
#include "settings/ui/FilterSwitch.h"
#include "settings/ui/ServicePort.h"
#include "store/GroupAccess.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QAction>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QKeyEvent>
#include <algorithm>
#include <optional>
#include <utility>
#include <limits>

MainWindow::MainWindow(Services services, QWidget* parent)
    : QWidget(parent)
    , services_(std::move(services))
    , database_(services_.readEngine, services_.programDir, services_.clock)
{
    // The receiver's port as the port commands see it: the number from the
    // window's copy of the receiver's state, binding answered later.
    using BindResult = PortControl::BindResult;
    PortControl receiverPort{
        [this] { return services_.receiver.receiver().listeningPort(); },
        [this] { request([](ReceiverReplica& receiver) { return receiver.closePort(); }); },
        [this](int port, std::function<void(BindResult)> done) {
            if (shutDown_)
                return done(BindResult::NoAnswer);
            request([port](ReceiverReplica& receiver) { return receiver.bindPort(port); },
                    [done = std::move(done)](const QVariant& bound) {
                        done(!bound.isValid() ? BindResult::NoAnswer
                                              : bound.toBool() ? BindResult::Bound : BindResult::Failed);
                    });
        }};
    port_ = std::make_unique<ServicePort>(std::move(receiverPort), services_.settings, services_.dialogs);
    setObjectName(QStringLiteral("Form1"));
    // One read at a time, so that they finish in the order they were asked for.
    loads_.setMaxThreadCount(1);
    buildControls();
    connectReceiver();
    connectCommands();
    rulesFile_ = new RulesFile(services_.programDir, this);
    connect(rulesFile_, &RulesFile::loaded, this,
            [this](const ParsedRules& parsed) { ruleColours_ = RuleColours(parsed.rules); });
    rulesFile_->start();
}

MainWindow::~MainWindow()
{
    // The side windows may refer to what this window owns: they go first.
    delete search_.data();
    delete cleaner_.data();
    delete filtered_.data();
    delete rules_.data();
    loads_.waitForDone();
}

void MainWindow::connectReceiver()
{
    ReceiverReplica* receiver = &services_.receiver.receiver();
    connect(receiver, &ReceiverReplica::recordToShow, this, [this](const LogRecord& record) { showRecord(record); });
    connect(receiver, &ReceiverReplica::secondElapsed, this,
            [this](const IntakeSecond& counters) { onSecond(counters); });
    connect(receiver, &ReceiverReplica::filteredUpdated, this,
            [this](const FilteredBufferUpdate& update) { onFilteredUpdated(update); });
    connect(receiver, &ReceiverReplica::dayTableCreated, this, [this] { refreshDayList(); });
    connect(receiver, &ReceiverReplica::daysDropped, this, [this] { refreshDayList(); });
    connect(receiver, &ReceiverReplica::errorRaised, this, [this](const QString& text) {
        if (!shutDown_)
            services_.dialogs.message(text);
    });
    connect(receiver, &ReceiverReplica::ruleFired, this, [this](const RuleFiring& firing) { notifyFiring(firing); });
    connect(receiver, &ReceiverReplica::rulesChanged, this, [this](const RulesState& state) {
        if (rules_)
            rules_->showState(state);
    });
    connect(receiver, &ReceiverReplica::listeningPortChanged, this, [this] { updateStatusTooltip(); });
    connect(receiver, &ReceiverReplica::portBoundChanged, this, [this] { showPortState(); });
    connect(receiver, &ReceiverReplica::filterOnChanged, this, [this](int on) { filterEnabled_ = qint16(on); });
    // Attached to a service: while it is away the status line says so and the
    // list keeps its lines; once it is back (the database handed over again
    // while the cleaner is open) the day list is read again.
    connect(&services_.receiver, &ReceiverLink::reachable, this, [this](bool reachable) {
        if (shutDown_)
            return;
        if (!reachable) {
            showStatus(serviceAwayCaption());
            return;
        }
        if (cleaner_)
            request([](ReceiverReplica& service) { return service.handOverDatabase(); });
        refreshDayList();
        updateStatusTooltip();
    });
    // A service that does not answer: the status line says so until it does.
    connect(&services_.receiver, &ReceiverLink::answering, this, [this](bool answers) {
        if (!shutDown_ && !answers)
            showStatus(serviceSilentCaption());
    });
}

void MainWindow::request(const std::function<QRemoteObjectPendingCall(ReceiverReplica&)>& call,
                         std::function<void(const QVariant&)> done)
{
    services_.receiver.request(this, call, std::move(done));
}

bool MainWindow::commandAllowed()
{
    ReceiverLink& link = services_.receiver;
    if (link.isAttached() && link.isAnswering())
        return true;
    if (!link.isAttached())
        services_.dialogs.message(tr("The service is not reachable; nothing was changed. The window attaches again "
                                     "as soon as the service is back."));
    else
        services_.dialogs.message(tr("The service does not answer; nothing was changed. Try again once it answers."));
    return false;
}

void MainWindow::showStatus(const QString& text)
{
    statusLabel_->setText(text);
    twips::fitToText(statusLabel_);
}

SearchWindow* MainWindow::searchWindow() const { return search_; }
CleanerWindow* MainWindow::cleanerWindow() const { return cleaner_; }
FilteredMessagesWindow* MainWindow::filteredWindow() const { return filtered_; }
RulesWindow* MainWindow::rulesWindow() const { return rules_; }

// ---------------------------------------------------------------- controls --

void MainWindow::buildControls()
{
    // A view of a service says so: closing it leaves the service receiving.
    setWindowTitle(services_.receiver.isService() ? tr("%1 — attached to the service in %2")
                                                        .arg(tr("KIV Syslog Server"),
                                                             QDir::toNativeSeparators(services_.programDir))
                                                  : tr("KIV Syslog Server"));
    resize(twips::toPixels(10665), twips::toPixels(6735));
    setFont(songtiFont(10.5));

    titleLabel_ = makeNamed<QLabel>(QStringLiteral("大标题"), tr("KIV Syslog Server"), this);
    titleLabel_->setFont(songtiFont(18));
    twips::place(titleLabel_, 4080, 120, 1800, 360);

    cleanerButton_ = makeNamed<QPushButton>(QStringLiteral("清理"), tr("Cleaner"), this);
    twips::place(cleanerButton_, 8040, 0, 975, 320);

    searchButton_ = makeNamed<QPushButton>(QStringLiteral("搜索"), tr("Search"), this);
    twips::place(searchButton_, 8040, 360, 975, 320);

    dayCombo_ = makeNamed<QComboBox>(QStringLiteral("日志日期"), this);
    dayCombo_->setEditable(false);
    twips::place(dayCombo_, 9100, 360, 1440, 330);
    shrinkFontToShow(dayCombo_, QStringLiteral("2026-12-07"));

    dayCountLabel_ = makeNamed<QLabel>(QStringLiteral("记录数"), tr("Total record days"), this);
    dayCountLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    twips::place(dayCountLabel_, 9540, 60, 945, 210);
    fitDayCountLabel();

    logList_ = makeNamed<ExtentListWidget>(QStringLiteral("txtoutput"), this);
    logList_->setStyleSheet(QStringLiteral("QListWidget { background: white; }"));
    logList_->viewport()->installEventFilter(this);
    twips::place(logList_, 0, 720, 10610, 5730);

    statusLabel_ = makeNamed<ClickableLabel>(
        QStringLiteral("过滤信息"), tr("Filtering information: 0 invalid information has been filtered"), this);
    twips::place(statusLabel_, 45, 6480, 2730, 210);
    twips::fitToText(statusLabel_);

    blogLink_ = makeNamed<ClickableLabel>(QStringLiteral("版权说明"), tr("Developer blog"), this);
    blogLink_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    blogLink_->setCursor(Qt::PointingHandCursor);
    twips::place(blogLink_, 9120, 6480, 1470, 210);

    // Keyboard order: the list, the day list, 搜索, 清理 (labels take no focus).
    setTabOrder(logList_, dayCombo_);
    setTabOrder(dayCombo_, searchButton_);
    setTabOrder(searchButton_, cleanerButton_);
    updateStatusTooltip();
}

void MainWindow::connectCommands()
{
    connect(cleanerButton_, &QPushButton::clicked, this, [this] { openCleaner(); });
    connect(searchButton_, &QPushButton::clicked, this, [this] { openSearch(); });
    // Only a choice made by the user loads a day; filling the list does not.
    connect(dayCombo_, &QComboBox::activated, this, [this] { loadChosenDay(); });
    statusLabel_->onDoubleClick = [this] { openFilteredMessages(); };
    blogLink_->onClick = [this] { openBlog(); };

    // F2 and F3 work whichever control has the focus: the window looks at
    // every key before its controls do.
    new KeyPreview(this, [this](QKeyEvent* event) { handleFunctionKey(event); });
}

// ----------------------------------------------------------------- startup --

// Each step goes on when the receiver has answered the one before.
void MainWindow::start()
{
    widestLine_ = 0;
    if (!services_.singleInstance.tryAcquire()) {
        // The same message in both languages.
        services_.dialogs.message(QStringLiteral("程序已经在运行，不支持多开！"));
        endStartup(false);
        return;
    }
    attachCsvExport(*logList_, services_.fileChooser, services_.dialogs);
    attachFieldsView(*logList_, services_.settings);
    auto* rulesAction = makeNamed<QAction>(QStringLiteral("rulesAction"), tr("Rules…"), logList_);
    connect(rulesAction, &QAction::triggered, this, [this] { openRules(); });
    logList_->addAction(rulesAction);
    const int keepDays = loadKeepDays(services_.settings);
    request([keepDays](ReceiverReplica& receiver) { return receiver.setKeepDays(keepDays); });
    // The database file and today's table, made when missing, and the write path.
    request([](ReceiverReplica& receiver) { return receiver.openDatabase(); },
            [this](const QVariant& error) { continueAfterDatabase(error); });
}

void MainWindow::continueAfterDatabase(const QVariant& error)
{
    if (shutDown_) {
        endStartup(false);
        return;
    }
    const QString socket = QDir::toNativeSeparators(ReceiverHost::socketPath(services_.programDir));
    const QString reason = error.isValid() ? error.toString() : tr("no service answers on %1").arg(socket);
    if (!reason.isEmpty()) {
        const QString path = QDir::toNativeSeparators(database_.path());
        services_.dialogs.message(
            tr("Cannot open or create the log database %1: %2\nThe program will close.").arg(path, reason));
        endStartup(false);
        return;
    }
    titleLabel_->setText(titleLabel_->text() + QString::number(KIV_VERSION_MAJOR) + QLatin1Char('.')
                         + QString::number(KIV_VERSION_MINOR));
    twips::fitToText(titleLabel_);

    const StartupSettings settings = loadSettings(services_.settings);
    filterEnabled_ = settings.filterEnabled;
    const int filter = filterEnabled_;
    request([filter](ReceiverReplica& receiver) { return receiver.setFilterEnabled(filter); });
    port_->bindAtStartup(settings.portText, [this] { continueAfterBind(); });
}

void MainWindow::continueAfterBind()
{
    updateStatusTooltip();
    if (shutDown_) {
        endStartup(false); // closed while the port was being asked for
        return;
    }
    if (database_.fileExists())
        loadRecentRecords(services_.clock.now().toString(QLatin1String(kDayFormat)));
    refreshDayList();
    request([](ReceiverReplica& receiver) { return receiver.startCounting(); });
    endStartup(true);
}

void MainWindow::endStartup(bool running) { emit startupEnded(running); }

// ---------------------------------------------------------------- shutdown --

// The window keeps painting until the receiver has stored everything.
void MainWindow::shutDown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    if (services_.receiver.isService()) {
        services_.receiver.detach();
        emit shutDownFinished(QString());
        return;
    }
    request([](ReceiverReplica& receiver) { return receiver.shutdown(); },
            [this](const QVariant& summary) { emit shutDownFinished(summary.toString()); });
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    shutDown();
    event->accept();
}

// ----------------------------------------------------------------- running --

// A record the receiver passed on: at the end of the list, at most 500
// lines, the newest selected. A record the last load already read (its day
// and an ID up to the newest one read) is not shown twice; one without an ID
// (it went to the recovery file) always is.
void MainWindow::showRecord(const LogRecord& record)
{
    if (shutDown_)
        return;
    if (loadsPending_ > 0) {
        heldRecords_ << record;
        if (heldRecords_.size() > kMaxListLines)
            heldRecords_.removeFirst();
        return;
    }
    if (record.id != 0 && record.id <= loadedUpToId_ && record.day() == loadedDay_)
        return;
    QListWidgetItem* line = lineOf(record);
    while (logList_->count() >= kMaxListLines)
        delete logList_->takeItem(0);
    logList_->addItem(line);
    const auto width
        = static_cast<qint32>(std::min<qsizetype>(line->text().size(), std::numeric_limits<qint32>::max()));
    if (width > widestLine_) {
        widestLine_ = width;
        setListHorizontalExtent(width);
    }
    logList_->setCurrentRow(logList_->count() - 1);
}

void MainWindow::setListHorizontalExtent(qint32 characters)
{
    if (characters <= 0)
        return;
    constexpr qint32 widestRepresentable = (std::numeric_limits<int>::max() - horizontalExtentFor(0)) / 7;
    logList_->setHorizontalExtent(horizontalExtentFor(std::min(characters, widestRepresentable)));
}

// The one-second tick of the receiver: the status line, and a day-list
// reload owed since the cleaner window closed.
void MainWindow::onSecond(const IntakeSecond& counters)
{
    if (shutDown_)
        return;
    lastSecond_ = counters;
    showPortState();
    intakeNotes_ = intakeNotes(counters);
    showLosses(counters.losses);
    if (dayListRefreshPending_) {
        refreshDayList();
        dayListRefreshPending_ = false;
    }
}

// While nothing was lost the status line looks as always; after a loss its
// text turns red and its tooltip lists every count.
void MainWindow::showLosses(const LossCounts& losses)
{
    const bool lost = losses.any();
    if (lost != lossesShown_)
        statusLabel_->setStyleSheet(lost ? QStringLiteral("QLabel { color: #d00000; }") : QString());
    lossesShown_ = lost;
    lossText_ = lossTooltip(losses);
    updateStatusTooltip();
}

// The status line's text: the last second's counters while the port is
// bound, else that nothing is received until a port is bound again.
void MainWindow::showPortState()
{
    if (shutDown_)
        return;
    if (!services_.receiver.receiver().portBound())
        showStatus(notListeningCaption());
    else if (lastSecond_)
        showStatus(statusCaption(*lastSecond_));
    updateStatusTooltip();
}

void MainWindow::onFilteredUpdated(const FilteredBufferUpdate& update)
{
    applyFilteredUpdate(filteredCopy_, update);
    if (filtered_ && filtered_->isOpen())
        filtered_->refreshView();
}

// The losses (after one), whether and where the receiver listens, what
// TCP and forwarding note, and, attached to a service, that closing this
// window leaves it running.
void MainWindow::updateStatusTooltip()
{
    ReceiverReplica& receiver = services_.receiver.receiver();
    QStringList lines;
    if (!lossText_.isEmpty())
        lines << lossText_;
    // The listening line is Chinese in both languages.
    lines << (receiver.portBound() ? QStringLiteral("当前正在监听UDP %1端口信息").arg(receiver.listeningPort())
                                   : notListeningTooltip(receiver.listeningPort()));
    if (!intakeNotes_.isEmpty())
        lines << intakeNotes_;
    if (services_.receiver.isService())
        lines << tr("Attached to the service in %1: closing this window leaves it receiving.")
                     .arg(QDir::toNativeSeparators(services_.programDir));
    const QString tooltip = lines.join(QLatin1Char('\n'));
    if (tooltip != statusLabel_->toolTip())
        statusLabel_->setToolTip(tooltip);
}

void MainWindow::changeServicePort()
{
    if (commandAllowed())
        port_->changeServicePort([this] { updateStatusTooltip(); });
}

void MainWindow::toggleMessageFilter()
{
    if (!commandAllowed())
        return;
    ::toggleMessageFilter(filterEnabled_, services_.settings, services_.dialogs);
    const int filter = filterEnabled_;
    request([filter](ReceiverReplica& receiver) { return receiver.setFilterEnabled(filter); });
}

// ---------------------------------------------------------------- day list --

QString MainWindow::dayCountCaption(int days) const { return tr("log %1 days").arg(days); }

// Read off the window's thread: listing the tables may wait on the writer.
void MainWindow::refreshDayList()
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
    dayCombo_->clear();
    if (!days) {
        services_.dialogs.message(QStringLiteral("刷新数据表列表错误"));
        return;
    }
    dayCombo_->addItems(*days);
    dayCountLabel_->setText(dayCountCaption(dayCombo_->count()));
    fitDayCountLabel();
    if (!days->isEmpty())
        dayCombo_->setCurrentIndex(dayCombo_->count() - 1);
}

void MainWindow::loadChosenDay() { loadRecentRecords(dayCombo_->currentText(), WhenTableMissing::Ignore); }

void MainWindow::loadRecentRecords(const QString& day) { loadRecentRecords(day, WhenTableMissing::Load); }

// A day chosen in the list whose table is gone (dropped meanwhile) leaves the
// list as it is; a failure to find out is told.
void MainWindow::loadRecentRecords(const QString& day, WhenTableMissing missing)
{
    ++loadsPending_;
    LogDatabase* database = &database_;
    struct Outcome {
        std::optional<QList<LogRecord>> records;
        bool checkFailed = false;
    };
    runInBackground(
        loads_, this,
        [database, day, missing]() {
            Outcome outcome;
            try {
                if (missing == WhenTableMissing::Ignore && !database->tableExists(dayTableName(day)))
                    return outcome;
            } catch (const DbError&) {
                outcome.checkFailed = true;
                return outcome;
            }
            try {
                outcome.records = database->loadRecentLogRecords(day);
            } catch (const DbError&) {
                // the list keeps what it showed
            }
            return outcome;
        },
        [this, day](Outcome outcome) {
            --loadsPending_;
            if (outcome.checkFailed)
                services_.dialogs.message(QStringLiteral("日志日期模块错误"));
            if (outcome.records && !shutDown_) {
                replaceLines(*outcome.records);
                // A record stored just before the read may still be on its
                // way as a live one: it is told by its ID, not shown twice.
                loadedDay_ = day;
                loadedUpToId_ = 0;
                for (const LogRecord& record : *outcome.records)
                    loadedUpToId_ = std::max(loadedUpToId_, record.id);
            }
            if (loadsPending_ == 0) {
                const QList<LogRecord> held = std::exchange(heldRecords_, {});
                for (const LogRecord& record : held)
                    showRecord(record);
            }
        });
}

void MainWindow::replaceLines(const QList<LogRecord>& records)
{
    logList_->setRedraw(false);
    logList_->clear();
    widestLine_ = 0;
    for (const LogRecord& record : records) {
        QListWidgetItem* line = lineOf(record);
        widestLine_ = qMax<qint32>(widestLine_, line->text().size());
        logList_->addItem(line);
    }
    logList_->setRedraw(true);
    setListHorizontalExtent(widestLine_);
}

// ---------------------------------------------------------------- commands --

void MainWindow::copyCurrentLine()
{
    services_.clipboard.setText(logList_->currentLineText());
    services_.dialogs.message(QStringLiteral("选中行内容已复制到剪切板！"));
}

// F2 and F3 with any modifier, once a press, whichever of this window's
// controls has the focus; the key is not consumed.
void MainWindow::handleFunctionKey(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_F2:
        changeServicePort();
        break;
    case Qt::Key_F3:
        toggleMessageFilter();
        break;
    default:
        break;
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == logList_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // Let the list move its current line to the clicked one first.
        logList_->viewport()->removeEventFilter(this);
        QCoreApplication::sendEvent(watched, event);
        logList_->viewport()->installEventFilter(this);
        copyCurrentLine();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::openBlog() { services_.shell.openUrl(QString::fromLatin1(kHomePage)); }

void MainWindow::openSearch()
{
    if (!search_) {
        search_ = new SearchWindow(database_, services_.dialogs, services_.clipboard, services_.fileChooser);
        search_->setAttribute(Qt::WA_DeleteOnClose);
        attachFieldsView(*search_->resultList(), services_.settings);
        search_->decorateLine
            = [this](QListWidgetItem& line, const LogRecord& record) { setRuleColour(line, record, ruleColours_); };
    }
    search_->show();
    search_->raise();
    search_->activateWindow();
}

QListWidgetItem* MainWindow::lineOf(const LogRecord& record) const
{
    QListWidgetItem* line = recordItem(record);
    setRuleColour(*line, record, ruleColours_);
    return line;
}

void MainWindow::openRules()
{
    if (!rules_) {
        rules_ = new RulesWindow(rulesFile_->path());
        rules_->onReload = [this] { request([](ReceiverReplica& receiver) { return receiver.reloadRules(); }); };
        request([](ReceiverReplica& receiver) { return receiver.rulesState(); },
                [window = rules_](const QVariant& state) {
                    if (window && state.isValid())
                        window->showState(state.value<RulesState>());
                });
        if (!QSystemTrayIcon::isSystemTrayAvailable() && DesktopNotifier::sessionBusAddress().isEmpty())
            rules_->showNote(tr("No system tray is available: notifications of rules are not shown."));
    }
    rules_->show();
    rules_->raise();
    rules_->activateWindow();
}

void MainWindow::notifyFiring(const RuleFiring& firing)
{
    if (shutDown_)
        return;
    const QString text = logLine(firing.record) + firing.heldText();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Many desktops have no tray but a notification service (GNOME):
        // ask it over D-Bus, and say once when that cannot be done either.
        if (!desktopNotifier_) {
            // Why not goes to standard error, as the receiver's problems do.
            desktopNotifier_ = new DesktopNotifier(printLine, this);
            connect(desktopNotifier_, &DesktopNotifier::delivered, this, [this](bool shown) {
                if (!shown && !trayMissingTold_)
                    showStatus(tr("No system tray is available: notifications of rules are not shown."));
                trayMissingTold_ = trayMissingTold_ || !shown;
            });
        }
        desktopNotifier_->notify(firing.rule, text);
        return;
    }
    if (!tray_) {
        const QIcon icon = windowIcon().isNull() ? style()->standardIcon(QStyle::SP_MessageBoxWarning) : windowIcon();
        tray_ = new QSystemTrayIcon(icon, this);
        tray_->setToolTip(tr("KIV Syslog Server"));
        tray_->show();
    }
    tray_->showMessage(firing.rule, text, QSystemTrayIcon::Warning);
}

void MainWindow::openFilteredMessages()
{
    if (!filtered_) {
        filtered_ = new FilteredMessagesWindow(filteredCopy_);
        filtered_->setAttribute(Qt::WA_DeleteOnClose);
    }
    filtered_->show();
    filtered_->raise();
    filtered_->activateWindow();
}

// The database file goes to the cleaner: the cleaner window opens once the
// receiver has answered that it closed the socket, wrote its queue, stopped
// the write timer and closed the write path.
void MainWindow::openCleaner()
{
    if (cleaner_) {
        cleaner_->show();
        cleaner_->raise();
        cleaner_->activateWindow();
        return;
    }
    if (handingOver_ || !commandAllowed())
        return;
    handingOver_ = true;
    request([](ReceiverReplica& receiver) { return receiver.handOverDatabase(); },
            [this](const QVariant& handedOver) {
                handingOver_ = false;
                if (!handedOver.toBool() || shutDown_)
                    return; // the receiver went away meanwhile: it has the file
                refreshDayList();
                cleaner_ = new CleanerWindow(database_, services_.readEngine, services_.dialogs, services_.clock,
                                             [this] { onCleanerClosed(); });
                cleaner_->setAttribute(Qt::WA_DeleteOnClose);
                openCleaner();
            });
}

// The receiver takes the file back, then listens again unless F2 bound the
// socket meanwhile. A file the cleaner rebuilt belongs to this user: a
// service, which runs as another, must be able to go on writing it.
void MainWindow::onCleanerClosed()
{
    if (shutDown_)
        return;
    dayListRefreshPending_ = true;
    if (services_.receiver.isService())
        shareDatabaseWithGroup(services_.programDir);
    request([](ReceiverReplica& receiver) { return receiver.takeBackDatabase(); },
            [this](const QVariant& takenBack) {
                ReceiverReplica& receiver = services_.receiver.receiver();
                if (shutDown_ || !takenBack.isValid() || receiver.portBound())
                    return;
                port_->bindAtStartup(QString::number(receiver.listeningPort()), [this] { updateStatusTooltip(); });
            });
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
    twips::setWidth(logList_, w - 240.0f);
    twips::setHeight(logList_, h - 1520.0f);
    twips::setLeft(dayCountLabel_, w - static_cast<float>(twips::width(dayCountLabel_)) - 300.0f);
    twips::setLeft(blogLink_, w - 1720.0f);
    twips::setLeft(dayCombo_, w - 1715.0f);
    twips::setLeft(searchButton_, w - 2715.0f);
    twips::setLeft(cleanerButton_, w - 2715.0f);
    twips::setTop(blogLink_, h - 850.0f);
    twips::setTop(statusLabel_, h - 850.0f);
    twips::setLeft(titleLabel_, w / 2.0f - static_cast<float>(twips::width(titleLabel_)) / 2.0f - 100.0f);
    fitBottomLabels(outerWidth, outerHeight);
}

// The day count as large as its text, keeping its right edge (the layout
// anchors it there), at its designed top unless that would let it reach down
// into the day list.
void MainWindow::fitDayCountLabel()
{
    const double right = twips::left(dayCountLabel_) + twips::width(dayCountLabel_);
    twips::fitToText(dayCountLabel_);
    twips::setLeft(dayCountLabel_, right - twips::width(dayCountLabel_));
    const double room = twips::top(dayCombo_) - twips::height(dayCountLabel_);
    twips::setTop(dayCountLabel_, std::clamp(room, 0.0, 60.0));
}

// The status and link labels as high as their text, below the list (their
// designed top would cover its last 50 twips) and inside the window; the link
// keeps its right edge and grows to the left when its text is wider than
// designed. Where the window's frame leaves too little room under the list,
// the list gives way.
void MainWindow::fitBottomLabels(double outerWidth, double outerHeight)
{
    twips::fitToText(statusLabel_);
    const QSize link = blogLink_->sizeHint();
    const double linkWidth = std::max(1470.0, twips::fromPixels(link.width()));
    const double height = std::max({210.0, twips::height(statusLabel_), twips::fromPixels(link.height())});
    const double frameHeight = twips::fromPixels(frameGeometry().height() - geometry().height());
    const double clientBottom = outerHeight - frameHeight;
    const double listBottom = twips::top(logList_) + twips::height(logList_);
    double top = std::max(twips::top(statusLabel_), listBottom);
    if (top + height > clientBottom) {
        top = std::max(clientBottom - height, twips::top(logList_));
        if (top < listBottom)
            twips::setHeight(logList_, top - twips::top(logList_));
    }
    twips::setTop(statusLabel_, top);
    twips::place(blogLink_, outerWidth - 250.0 - linkWidth, top, linkWidth, height);
}
