#pragma once

#include "search/LogSearch.h"

#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class Clipboard;
class Dialogs;
class ExtentListWidget;
class FileChooser;
class LogDatabase;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The size, in twips, of the result list for a window of the given outer size
// (border and caption included), in twips: the outer width less 240 and the
// outer height less 1100. Nothing changes (nullopt) unless the window is wider
// than 6975 and higher than 1100.
std::optional<QSize> resultListSizeFor(const QSize& outerTwips);

// The search window: finds stored records by a substring of the message, a
// substring of the sender's address, or both, over one day or over every day
// of the log database, and lists them one log line each.
//
// Every opening builds a new window: the captions follow the interface's
// language (the boxes show their Chinese placeholders only in Chinese), the
// day list is read from the database with the all-days entry first and
// selected, and the result list starts empty. The result list's context menu
// exports the listed lines to a CSV file (see ListExport.h), asking for the
// file name through the file dialog or through the chooser given.
class QListWidgetItem;

class SearchWindow : public QWidget {
    Q_OBJECT
public:
    SearchWindow(LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard, QWidget* parent = nullptr);
    SearchWindow(LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard, FileChooser& chooser,
                 QWidget* parent = nullptr);
    ~SearchWindow() override;

    // The list of lines found.
    ExtentListWidget* resultList() const { return resultList_; }
    // Called for each line found with its record, e.g. to colour it.
    std::function<void(QListWidgetItem&, const LogRecord&)> decorateLine;

    // Fills the day list: the all-days entry, then the day of every ordinary
    // table, ascending. When the database cannot be read the user is told
    // why and the all-days entry stays alone.
    void loadSearchDays();
    // Searches the chosen day, or every listed day, and lists the matches.
    // The search runs off the window's thread; its lines appear as they are
    // found, and a caption over the list (searchProgress) tells how many days
    // are left until the search ends. A new search ends the one still running
    // at once, also in the middle of a statement.
    void runSearch();
    // Shows or hides the further criteria (severity, facility, host, program,
    // arrival time) below the specified row; the result list's context menu
    // switches them. Hidden, they take no part in a search.
    void showMoreCriteria(bool shown);
    // Whether a search is still running.
    bool searching() const { return running_ != nullptr; }
    // Copies the current result line (empty text without one) to the clipboard.
    void copyCurrentLine();
    // A click into an input box takes its placeholder away.
    void clearIpPlaceholder();
    void clearKeywordPlaceholder();
    // Gives the result list a horizontal scroll range for the longest line listed.
    void applyHorizontalExtent();
    // Fits the result list to the window's outer size (see resultListSizeFor).
    void fitResultList(const QSize& outerTwips);

    // The length in characters of the longest line listed by the last search.
    qint32 searchWidestLine() const { return widestLine_; }

    // The entry of the day list that stands for every day.
    static QString allDaysEntry();

    // A box showing its placeholder counts as empty, in either language.
    static inline const QString kKeywordPlaceholder = QStringLiteral("输入关键字");
    static inline const QString kIpPlaceholder = QStringLiteral("输入查询IP");

protected:
    void resizeEvent(QResizeEvent* event) override;
    // The frame arrives after the first layout; its move lays the list out again.
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    SearchWindow(LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard,
                 std::unique_ptr<FileChooser> ownedChooser, FileChooser* chooser, QWidget* parent);
    void createControls();
    void placeControls();
    void chainTabOrder();
    void initialize();
    void clearPlaceholder(QLineEdit* box, const QString& placeholder);
    QStringList daysToSearch() const;
    void startSearch(const SearchQuery& query);
    void createCriteriaControls();
    // The query of the boxes; nullopt, with the user told why, when a
    // criterion is not understood.
    std::optional<SearchQuery> queryOfControls();
    int listTop() const;
    void addResults(const QList<LogRecord>& records);
    void showDaysLeft(int daysLeft);
    void placeProgressCaption();
    void finishSearch(const std::optional<QString>& failure);
    QSize outerSizeInTwips(const QSize& clientPixels) const;

    LogDatabase& database_;
    Dialogs& dialogs_;
    Clipboard& clipboard_;
    std::unique_ptr<FileChooser> ownedChooser_;
    FileChooser& chooser_;
    LogSearch search_;

    QLabel* dayLabel_ = nullptr;
    QComboBox* dayCombo_ = nullptr;
    QLabel* keywordLabel_ = nullptr;
    QLineEdit* keywordEdit_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    ExtentListWidget* resultList_ = nullptr;
    QLineEdit* ipEdit_ = nullptr;
    QLabel* ipLabel_ = nullptr;
    QLabel* progressCaption_ = nullptr;
    QWidget* criteriaPanel_ = nullptr;
    QComboBox* severityCombo_ = nullptr;
    QLineEdit* facilityEdit_ = nullptr;
    QLineEdit* hostEdit_ = nullptr;
    QLineEdit* programEdit_ = nullptr;
    QLineEdit* fromEdit_ = nullptr;
    QLineEdit* toEdit_ = nullptr;
    bool criteriaShown_ = false;

    qint32 widestLine_ = 0;
    // Set to ask the running search to stop; shared with its thread.
    std::shared_ptr<std::atomic<bool>> running_;
    QThreadPool pool_;
};
