#pragma once

#include "AppState.h"
#include "LogDatabase.h"
#include "Services.h"

#include <QPointer>
#include <QWidget>
#include <memory>

class CleanerWindow;
class ClickableLabel;
class DatagramIntake;
class ExtentListWidget;
class FilteredMessagesWindow;
class QComboBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class SearchWindow;
class ServicePort;
class SharedWriter;
class StatusTicker;
class Timer;
class WriteQueue;
struct Datagram;

// The main window: the live list of received messages, the day list, the
// status line and the commands. It owns the program-wide state and runs the
// startup and shutdown sequences.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    // The address opened by the link label at the bottom right.
    static constexpr const char* kHomePage = "https://github.com/kiv-syslog/kiv-syslog";

    explicit MainWindow(Services services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Runs the startup sequence. False when the program must end at once
    // (another copy is running, or the database cannot be opened; the reason
    // has been shown to the user), or when a close request came meanwhile.
    bool Form_Load();
    // Stops reception, writes what is queued and closes the database. Runs once;
    // later calls do nothing.
    void Form_QueryUnload();

    // Commands, also reachable from tests.
    void 清理_Click();
    void 搜索_Click();
    void 版权说明_Click();
    void txtoutput_DblClick();
    void 过滤信息_DblClick();
    void 日志日期_Click();
    void ChangeServicePort();
    void ToggleMessageFilter();
    void RefreshDayList();
    void LoadRecentRecords(const QString& day);
    // Lays the controls out for an outer window size given in twips.
    void layoutForOuterSize(double outerWidth, double outerHeight);

    bool isShutDown() const { return shutDown_; }
    AppState& state() { return state_; }
    Timer& writeTimer() { return *writeTimer_; }
    Timer& secondTimer() { return *secondTimer_; }
    WriteQueue& writeQueue() { return *queue_; }
    SearchWindow* searchWindow() const;
    CleanerWindow* cleanerWindow() const;
    FilteredMessagesWindow* filteredWindow() const;

signals:
    // Emitted once the shutdown sequence has run.
    void shutDown();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The window manager adds the frame after the first layout; the move it
    // makes then lays the window out again for its true outer size.
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void setEnglishCaptions();
    void connectCommands();
    bool openDatabase();
    void handleDatagram(const Datagram& datagram);
    void Form_KeyDown(QObject* receiver, QKeyEvent* event);
    void onSecondTick();
    void onCleanerClosed();
    void rebindAfterCleaning();
    void updateListeningTooltip();
    QString dayCountCaption(int days) const;

    Services services_;
    AppState state_;
    LogDatabase database_;
    std::unique_ptr<SharedWriter> writer_;
    std::unique_ptr<Timer> writeTimer_;   // 写数据库列队
    std::unique_ptr<Timer> secondTimer_;  // 计时器
    std::unique_ptr<WriteQueue> queue_;
    std::unique_ptr<ServicePort> port_;

    QLabel* 大标题 = nullptr;
    QPushButton* 清理 = nullptr;
    QPushButton* 搜索 = nullptr;
    QComboBox* 日志日期 = nullptr;
    QLabel* 记录数 = nullptr;
    ExtentListWidget* txtoutput = nullptr;
    ClickableLabel* 过滤信息 = nullptr;
    ClickableLabel* 版权说明 = nullptr;

    std::unique_ptr<DatagramIntake> intake_;
    std::unique_ptr<StatusTicker> ticker_;
    QPointer<SearchWindow> search_;
    QPointer<CleanerWindow> cleaner_;
    QPointer<FilteredMessagesWindow> filtered_;
    bool shutDown_ = false;
};
