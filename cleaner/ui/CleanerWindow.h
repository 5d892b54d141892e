#pragma once

#include <QStringList>
#include <QThreadPool>
#include <QWidget>
#include <functional>

class Clock;
class DbEngine;
class Dialogs;
class LogDatabase;
class QListWidget;
class QPushButton;

// The cleaner window: lists the stored days except the newest, lets the
// user mark days by age or all at once, drops the marked days' tables and then
// compacts the database file.
//
// The caller hands the database file over before showing the window (socket
// closed, queue written out, shared connection closed) and takes it back in
// onClosed, which runs whenever the window is closed, in any way.
class CleanerWindow : public QWidget {
    Q_OBJECT
public:
    CleanerWindow(LogDatabase& database, DbEngine& engine, Dialogs& dialogs, const Clock& clock,
                  std::function<void()> onClosed, QWidget* parent = nullptr);
    ~CleanerWindow() override;

    // Refills the list with the stored days, oldest first, without the newest.
    void loadDayList();
    // Marks exactly the entries more than `days` days before today; clears every other mark.
    void markOlderThan(int days);
    void markAll();
    // Drops the marked days' tables, compacts the file and refills the list,
    // off the window's thread; the window is busy meanwhile.
    void deleteMarked();
    bool isBusy() const { return busy_; }

    QStringList listedDays() const;
    QStringList markedDays() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void applyCaptions();
    void layOut();
    double entryWidth();
    void connectCommands();
    // Drops each day's table with its own statement; returns "day: reason" per failure.
    QStringList dropDayTables(const QStringList& days);
    void reportDropFailures(const QStringList& failures);
    void setBusy(bool busy);
    void compact();

    LogDatabase& database_;
    DbEngine& engine_;
    Dialogs& dialogs_;
    const Clock& clock_;
    std::function<void()> onClosed_;
    bool busy_ = false;
    // Dropping and compacting, one job at a time.
    QThreadPool work_;

    QListWidget* dayList_;
    QPushButton* olderThan15Button_;
    QPushButton* olderThan30Button_;
    QPushButton* olderThan90Button_;
    QPushButton* markAllButton_;
    QPushButton* deleteButton_;
};
