#pragma once

#include "app/Services.h"
#include "intake/FilteredMessages.h"
#include "intake/ReceiverCore.h"
#include "intake/ReceiverLink.h"
#include "rules/RuleMatcher.h"
#include "store/LogDatabase.h"

#include <QPointer>
#include <QThreadPool>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class CleanerWindow;
class ClickableLabel;
class ExtentListWidget;
class FilteredMessagesWindow;
class QComboBox;
class QKeyEvent;
class QLabel;
class QListWidgetItem;
class QPushButton;
class DesktopNotifier;
class QSystemTrayIcon;
class RulesFile;
class RulesWindow;
class SearchWindow;
class ServicePort;

// The main window: the live list of received messages, the day list, the
// status line and the commands. It runs the startup and shutdown sequences
// and shows what the receiver reports; the receiver itself runs on a thread
// of its own or in a service. The window never waits for the receiver: each
// sequence goes on when the receiver answers.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    // The address opened by the link label at the bottom right.
    static constexpr const char* kHomePage = "https://github.com/kiv-syslog/kiv-syslog";
    static constexpr int kMaxListLines = 500;

    explicit MainWindow(Services services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Runs the startup sequence; startupEnded tells how it ended.
    void start();
    // A receiver of the window's own stops receiving, stores everything read
    // and closes the database; a service is only detached from. Runs once;
    // later calls do nothing. shutDownFinished tells when it is done.
    void shutDown();

    // Commands, also reachable from tests.
    void openCleaner();
    void openSearch();
    void openBlog();
    void copyCurrentLine();
    void openFilteredMessages();
    // The Rules window (from the main list's context menu).
    void openRules();
    void loadChosenDay();
    void changeServicePort();
    void toggleMessageFilter();
    void refreshDayList();
    // Replaces the main list with the latest records of the day, read off the
    // window's thread; lines that arrive meanwhile follow them.
    void loadRecentRecords(const QString& day);
    // Sets the main list's horizontal scroll range for a line of the given
    // number of characters; 0 or less does nothing.
    void setListHorizontalExtent(qint32 characters);
    // Lays the controls out for an outer window size given in twips.
    void layoutForOuterSize(double outerWidth, double outerHeight);

    bool isShutDown() const { return shutDown_; }
    qint16 filterEnabled() const { return filterEnabled_; }
    qint32 widestLine() const { return widestLine_; }
    bool dayListRefreshPending() const { return dayListRefreshPending_; }
    // Whether a load of a day or of the day list is still being read.
    bool loadPending() const { return loadsPending_ > 0 || dayListsPending_ > 0; }
    SearchWindow* searchWindow() const;
    CleanerWindow* cleanerWindow() const;
    FilteredMessagesWindow* filteredWindow() const;
    RulesWindow* rulesWindow() const;

signals:
    // The startup sequence ended: running, or the program must end (another
    // copy is running, or the database cannot be opened; the reason has been
    // shown to the user), or a close request came meanwhile.
    void startupEnded(bool running);
    // The shutdown sequence has run; summary tells what became of everything
    // received (empty when the window was attached to a service).
    void shutDownFinished(const QString& summary);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The window manager adds the frame after the first layout; the move it
    // makes then lays the window out again for its true outer size.
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void connectCommands();
    void continueAfterDatabase(const QVariant& error);
    void continueAfterBind();
    void endStartup(bool running);
    void connectReceiver();
    // Calls the receiver; done gets the answer (invalid when none came).
    void request(const std::function<QRemoteObjectPendingCall(ReceiverReplica&)>& call,
                 std::function<void(const QVariant&)> done = {});
    // Whether a command may go to the receiver now; says why not when not.
    bool commandAllowed();
    void showStatus(const QString& text);
    void showRecord(const LogRecord& record);
    void replaceLines(const QList<LogRecord>& records);
    void handleFunctionKey(QKeyEvent* event);
    void onSecond(const IntakeSecond& counters);
    void onFilteredUpdated(const FilteredBufferUpdate& update);
    void showLosses(const LossCounts& losses);
    void showDayList(const std::optional<QStringList>& days);
    enum class WhenTableMissing { Load, Ignore };
    void loadRecentRecords(const QString& day, WhenTableMissing missing);
    void onCleanerClosed();
    void showPortState();
    void updateStatusTooltip();
    void fitDayCountLabel();
    void fitBottomLabels(double outerWidth, double outerHeight);
    QString dayCountCaption(int days) const;
    // A list line of the record, in the colour of the first enabled rule with a colour that matches it.
    QListWidgetItem* lineOf(const LogRecord& record) const;
    // A firing of a rule with a notify action, shown through the system tray.
    void notifyFiring(const RuleFiring& firing);

    Services services_;
    LogDatabase database_;
    std::unique_ptr<ServicePort> port_;

    // Message filter switch: 1 on, 0 off; as last asked of the receiver,
    // then as it reports.
    qint16 filterEnabled_ = 1;
    // Length in characters of the longest line added to the main list since it was last filled.
    qint32 widestLine_ = 0;
    // Set while a day-list reload is owed after the cleaner window closed.
    bool dayListRefreshPending_ = false;
    FilteredMessageBuffer filteredCopy_;
    // Loads of a day still being read, and the live lines that came meanwhile.
    int loadsPending_ = 0;
    int dayListsPending_ = 0;
    QList<LogRecord> heldRecords_;
    // The day the last load read and the newest ID it read there: a live
    // record of that day with an ID up to it is in the list already.
    QString loadedDay_;
    qint64 loadedUpToId_ = 0;
    QThreadPool loads_;
    bool lossesShown_ = false;
    // The status tooltip's lines: the losses (lossTooltip) and those about TCP
    // and forwarding (intakeNotes), as last reported.
    QString lossText_;
    QString intakeNotes_;
    // The counters of the last second, once one has passed.
    std::optional<IntakeSecond> lastSecond_;

    QLabel* titleLabel_ = nullptr;
    QPushButton* cleanerButton_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    QComboBox* dayCombo_ = nullptr;
    QLabel* dayCountLabel_ = nullptr;
    ExtentListWidget* logList_ = nullptr;
    ClickableLabel* statusLabel_ = nullptr;
    ClickableLabel* blogLink_ = nullptr;

    QPointer<SearchWindow> search_;
    QPointer<CleanerWindow> cleaner_;
    QPointer<FilteredMessagesWindow> filtered_;
    QPointer<RulesWindow> rules_;
    // The rules file as this process reads it (the colours of the lines), and the tray icon of notifications.
    RulesFile* rulesFile_ = nullptr;
    RuleColours ruleColours_;
    QSystemTrayIcon* tray_ = nullptr;
    // Notifications where there is no tray.
    DesktopNotifier* desktopNotifier_ = nullptr;
    bool trayMissingTold_ = false;
    // The cleaner is asked for and waits for the receiver to give the file up.
    bool handingOver_ = false;
    bool shutDown_ = false;
};
