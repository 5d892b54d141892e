#include "search/ui/SearchWindow.h"

#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/Language.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/Named.h"
#include "platform/ui/QtFileChooser.h"
#include "platform/ui/Twips.h"
#include "search/ui/FieldsView.h"
#include "search/ui/ListExport.h"
#include "store/LogDatabase.h"
#include "store/Severity.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QCoreApplication>
#include <QPointer>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <exception>
#include <utility>

namespace {

// The all-days entry in the two languages; a search takes either as all days.
const QString kAllDaysChinese = QStringLiteral("全部");
const QString kAllDaysEnglish = QStringLiteral("all");

// Design size of the client area, in twips.
constexpr int kDesignClientWidth = 9360;
constexpr int kDesignClientHeight = 6330;

// The result list keeps its left and top; only its size follows the window.
constexpr int kListLeft = 0;
constexpr int kListTop = 600;
constexpr int kListWidthMargin = 240;
constexpr int kListHeightMargin = 1100;
constexpr int kMinimumOuterWidth = 6975;
constexpr int kMinimumOuterHeight = 1100;

QFont controlFont() { return songtiFont(10.5); }

void placeInTwips(QWidget* control, int left, int top, int width, int height)
{
    control->setGeometry(twips::rectToPixels(left, top, width, height));
}

// A label sized to its caption, anchored at its design position.
void placeLabelInTwips(QLabel* label, int left, int top, int width, int height)
{
    placeInTwips(label, left, top, width, height);
    label->adjustSize();
}

} // namespace

std::optional<QSize> resultListSizeFor(const QSize& outerTwips)
{
    if (outerTwips.width() <= kMinimumOuterWidth || outerTwips.height() <= kMinimumOuterHeight)
        return std::nullopt;
    return QSize(outerTwips.width() - kListWidthMargin, outerTwips.height() - kListHeightMargin);
}

SearchWindow::SearchWindow(LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard, QWidget* parent)
    : SearchWindow(database, dialogs, clipboard, std::make_unique<QtFileChooser>(), nullptr, parent)
{
}

SearchWindow::SearchWindow(LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard, FileChooser& chooser,
                           QWidget* parent)
    : SearchWindow(database, dialogs, clipboard, nullptr, &chooser, parent)
{
}

SearchWindow::SearchWindow(LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard,
                           std::unique_ptr<FileChooser> ownedChooser, FileChooser* chooser, QWidget* parent)
    : QWidget(parent, Qt::Window),
      database_(database),
      dialogs_(dialogs),
      clipboard_(clipboard),
      ownedChooser_(std::move(ownedChooser)),
      chooser_(chooser ? *chooser : *ownedChooser_),
      search_(database)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(tr("Search logs"));
    setFont(controlFont());
    resize(twips::toPixels(kDesignClientWidth), twips::toPixels(kDesignClientHeight));
    createControls();
    placeControls();
    chainTabOrder();
    initialize();
    dayCombo_->setFocus();
}

void SearchWindow::createControls()
{
    dayLabel_ = makeNamed<QLabel>(QStringLiteral("Label1"), tr("Date"), this);

    dayCombo_ = makeNamed<QComboBox>(QStringLiteral("搜索日期"), this);
    dayCombo_->setEditable(false);

    keywordLabel_ = makeNamed<QLabel>(QStringLiteral("Label2"), tr("Keyword"), this);

    keywordEdit_ = makeNamed<QLineEdit>(QStringLiteral("关键字"), this);
    keywordEdit_->installEventFilter(this);

    searchButton_ = makeNamed<QPushButton>(QStringLiteral("给我搜"), tr("Search"), this);
    connect(searchButton_, &QPushButton::clicked, this, [this] { runSearch(); });

    resultList_ = makeNamed<ExtentListWidget>(QStringLiteral("txtoutput"), this);
    QPalette white = resultList_->palette();
    white.setColor(QPalette::Base, Qt::white);
    resultList_->setPalette(white);
    resultList_->viewport()->installEventFilter(this);
    attachCsvExport(*resultList_, chooser_, dialogs_);

    ipEdit_ = makeNamed<QLineEdit>(QStringLiteral("查询IP"), this);
    ipEdit_->installEventFilter(this);

    ipLabel_ = makeNamed<QLabel>(QStringLiteral("Label3"), tr("IP"), this);

    // Over the result list while a search runs, above whichever view of it is
    // shown: a child of the window made after the list, not one of the list's.
    progressCaption_ = makeNamed<QLabel>(QStringLiteral("searchProgress"), this);
    progressCaption_->setAutoFillBackground(true);
    progressCaption_->setBackgroundRole(QPalette::ToolTipBase);
    progressCaption_->setForegroundRole(QPalette::ToolTipText);
    progressCaption_->setMargin(2);
    progressCaption_->hide();
    createCriteriaControls();
}

void SearchWindow::createCriteriaControls()
{
    criteriaPanel_ = makeNamed<QWidget>(QStringLiteral("criteriaPanel"), this);
    auto* grid = new QGridLayout(criteriaPanel_);
    grid->setContentsMargins(twips::toPixels(120), 0, twips::toPixels(120), 0);
    const auto box = [&](const char* name) { return makeNamed<QLineEdit>(QLatin1StringView(name), criteriaPanel_); };
    severityCombo_ = makeNamed<QComboBox>(QStringLiteral("severityCombo"), criteriaPanel_);
    severityCombo_->addItem(tr("any"), -1);
    for (int severity = 0; severity <= 7; ++severity)
        severityCombo_->addItem(QStringLiteral("%1 %2").arg(severity).arg(severityName(severity)), severity);
    facilityEdit_ = box("facilityEdit");
    hostEdit_ = box("hostEdit");
    programEdit_ = box("programEdit");
    fromEdit_ = box("fromEdit");
    toEdit_ = box("toEdit");
    fromEdit_->setPlaceholderText(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    toEdit_->setPlaceholderText(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const std::pair<QString, QWidget*> row1[] = {{tr("Severity at most"), severityCombo_},
                                                 {tr("Facility"), facilityEdit_},
                                                 {tr("Host"), hostEdit_}};
    const std::pair<QString, QWidget*> row2[] = {{tr("Program"), programEdit_},
                                                 {tr("From"), fromEdit_},
                                                 {tr("To"), toEdit_}};
    int column = 0;
    for (const auto& [caption, control] : row1) {
        grid->addWidget(new QLabel(caption, criteriaPanel_), 0, column++);
        grid->addWidget(control, 0, column++);
    }
    column = 0;
    for (const auto& [caption, control] : row2) {
        grid->addWidget(new QLabel(caption, criteriaPanel_), 1, column++);
        grid->addWidget(control, 1, column++);
    }
    criteriaPanel_->hide();

    auto* more = makeNamed<QAction>(QStringLiteral("moreCriteriaAction"), tr("More criteria"), resultList_);
    more->setCheckable(true);
    connect(more, &QAction::toggled, this, [this](bool shown) { showMoreCriteria(shown); });
    resultList_->addAction(more);
}

namespace {

// The further criteria take this much height below the specified row.
constexpr int kCriteriaHeight = 760;

} // namespace

int SearchWindow::listTop() const { return kListTop + (criteriaShown_ ? kCriteriaHeight : 0); }

void SearchWindow::showMoreCriteria(bool shown)
{
    criteriaShown_ = shown;
    criteriaPanel_->setGeometry(twips::rectToPixels(0, kListTop, kDesignClientWidth, kCriteriaHeight));
    criteriaPanel_->setVisible(shown);
    fitResultList(outerSizeInTwips(size()));
}

void SearchWindow::placeControls()
{
    placeLabelInTwips(dayLabel_, 120, 240, 840, 210);
    placeInTwips(dayCombo_, 1020, 180, 1440, 330);
    shrinkFontToShow(dayCombo_, QStringLiteral("2026-12-07"));
    placeLabelInTwips(keywordLabel_, 5120, 240, 1050, 210);
    placeInTwips(keywordEdit_, 6300, 200, 1935, 315);
    placeInTwips(searchButton_, 8400, 150, 855, 375);
    placeInTwips(resultList_, kListLeft, kListTop, 9375, 5730);
    placeInTwips(ipEdit_, 3240, 200, 1725, 315);
    placeLabelInTwips(ipLabel_, 2580, 240, 630, 210);
}

void SearchWindow::chainTabOrder()
{
    for (QLabel* label : {dayLabel_, keywordLabel_, ipLabel_})
        label->setFocusPolicy(Qt::NoFocus);
    QWidget::setTabOrder(dayCombo_, keywordEdit_);
    QWidget::setTabOrder(keywordEdit_, searchButton_);
    QWidget::setTabOrder(searchButton_, resultList_);
    QWidget::setTabOrder(resultList_, ipEdit_);
}

QString SearchWindow::allDaysEntry() { return tr("all"); }

void SearchWindow::initialize()
{
    // The Chinese boxes open with their placeholders; the English ones empty.
    if (languageInUse() == Language::Chinese) {
        ipEdit_->setText(kIpPlaceholder);
        keywordEdit_->setText(kKeywordPlaceholder);
    }
    loadSearchDays();
    dayCombo_->setCurrentIndex(dayCombo_->findText(allDaysEntry()));
}

void SearchWindow::loadSearchDays()
{
    dayCombo_->clear();
    dayCombo_->addItem(allDaysEntry());
    try {
        dayCombo_->addItems(database_.dayList());
    } catch (const std::exception& e) {
        const QString reason = QString::fromStdString(e.what());
        dialogs_.message(tr("Could not read the list of log days: %1").arg(reason));
    }
}

void SearchWindow::clearPlaceholder(QLineEdit* box, const QString& placeholder)
{
    if (box->text() == placeholder)
        box->clear();
}

void SearchWindow::clearIpPlaceholder() { clearPlaceholder(ipEdit_, kIpPlaceholder); }

void SearchWindow::clearKeywordPlaceholder() { clearPlaceholder(keywordEdit_, kKeywordPlaceholder); }

void SearchWindow::runSearch()
{
    clearPlaceholder(ipEdit_, kIpPlaceholder);
    clearPlaceholder(keywordEdit_, kKeywordPlaceholder);
    const std::optional<SearchQuery> query = queryOfControls();
    if (!query)
        return;
    // With only further criteria set a search runs; without any criterion
    // the specified message says that keyword and address are both empty.
    if (query->isEmpty()) {
        dialogs_.message(tr("Keyword and IP both null not allow!"));
        return;
    }

    resultList_->clear();
    widestLine_ = 0;
    startSearch(*query);
}

std::optional<SearchQuery> SearchWindow::queryOfControls()
{
    SearchQuery query;
    query.keyword = keywordEdit_->text();
    query.ipFragment = ipEdit_->text();
    if (!criteriaShown_)
        return query;
    query.maxSeverity = severityCombo_->currentData().toInt();
    query.host = hostEdit_->text();
    query.app = programEdit_->text();
    const QString facility = facilityEdit_->text().trimmed();
    if (!facility.isEmpty()) {
        bool ok = false;
        query.facility = facility.toInt(&ok);
        if (!ok || query.facility < 0 || query.facility > 23) {
            dialogs_.message(tr("The facility is a number of 0 to 23."));
            return std::nullopt;
        }
    }
    const std::optional<QString> from = normalizedTimeBound(fromEdit_->text(), false);
    const std::optional<QString> to = normalizedTimeBound(toEdit_->text(), true);
    if (!from || !to) {
        dialogs_.message(tr("From and to are written yyyy-MM-dd, yyyy-MM-dd HH:mm or yyyy-MM-dd HH:mm:ss."));
        return std::nullopt;
    }
    query.from = *from;
    query.to = *to;
    return query;
}

namespace {

// Lines found are handed to the window after every day that found any, and
// in pieces of about this many within a day, so that neither the search
// waits for the window nor the window for the search.
constexpr int kLinesPerHandOver = 2000;

} // namespace

void SearchWindow::startSearch(const SearchQuery& query)
{
    if (running_)
        running_->store(true);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    running_ = stop;
    QPointer<SearchWindow> window(this);
    // Runs on the main thread, only while this window and this search last.
    auto post = [window, stop](auto action) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [window, stop, action = std::move(action)]() mutable {
                if (window && window->running_ == stop)
                    action(*window);
            },
            Qt::QueuedConnection);
    };
    LogSearch search = search_;
    const QStringList days = daysToSearch();
    showDaysLeft(int(days.size()));
    pool_.start([search, days, query, stop, post]() mutable {
        QList<LogRecord> records;
        const auto handOver = [&] {
            if (!records.isEmpty())
                post([batch = std::exchange(records, {})](SearchWindow& w) { w.addResults(batch); });
        };
        LogSearch::Progress progress;
        progress.shouldStop = [stop] { return stop->load(); };
        progress.onRecord = [&](const LogRecord& record) {
            records << record;
            if (records.size() >= kLinesPerHandOver)
                handOver();
        };
        progress.onDayDone = [&, total = int(days.size())](int done) {
            handOver();
            post([left = total - done](SearchWindow& w) { w.showDaysLeft(left); });
        };
        std::optional<QString> failure;
        try {
            if (search.run(days, searchRequestFor(query), progress) == LogSearch::Outcome::Stopped)
                return;
        } catch (const std::exception& e) {
            failure = QString::fromStdString(e.what());
        }
        if (stop->load())
            return;
        post([batch = std::move(records), failure](SearchWindow& w) {
            w.addResults(batch);
            w.finishSearch(failure);
        });
    });
}

void SearchWindow::showDaysLeft(int daysLeft)
{
    progressCaption_->setText(tr("Searching, days left: %1").arg(daysLeft));
    progressCaption_->adjustSize();
    placeProgressCaption();
    progressCaption_->show();
    progressCaption_->raise();
}

// At the lower right of the result list, inside its frame.
void SearchWindow::placeProgressCaption()
{
    const QRect inside = resultList_->viewport()->geometry().translated(resultList_->pos());
    progressCaption_->move(qMax(inside.left(), inside.right() + 1 - progressCaption_->width()),
                           qMax(inside.top(), inside.bottom() + 1 - progressCaption_->height()));
}

// Each line carries its record's fields, for the fields view and the colours.
// The lines of a batch are added at once and given their fields quietly, then
// the views are told once of the whole batch: a few thousand single inserts,
// each passed on through the fields view, would hold the window far longer.
void SearchWindow::addResults(const QList<LogRecord>& records)
{
    if (records.isEmpty())
        return;
    QStringList lines;
    lines.reserve(records.size());
    for (const LogRecord& record : records) {
        lines << logLine(record);
        widestLine_ = qMax<qint32>(widestLine_, lines.last().size());
    }
    const int first = resultList_->count();
    resultList_->addItems(lines);
    QAbstractItemModel* model = resultList_->model();
    bool anyFields = false;
    {
        const QSignalBlocker quiet(model);
        for (int row = 0; row < records.size(); ++row) {
            QListWidgetItem& line = *resultList_->item(first + row);
            anyFields = setRecordFields(line, records[row]) || anyFields;
            if (decorateLine)
                decorateLine(line, records[row]);
        }
        anyFields = anyFields || decorateLine;
    }
    if (anyFields)
        emit model->dataChanged(model->index(first, 0), model->index(first + int(records.size()) - 1, 0));
}

// The lines found before a failure stay listed; the failure's text is shown.
void SearchWindow::finishSearch(const std::optional<QString>& failure)
{
    running_.reset();
    progressCaption_->hide();
    applyHorizontalExtent();
    resultList_->viewport()->update();
    if (failure)
        dialogs_.message(tr("Search logs error: %1").arg(*failure));
}

// A search still running is asked to stop and waited for: it reads through
// objects that go with the window.
SearchWindow::~SearchWindow()
{
    if (running_)
        running_->store(true);
    pool_.waitForDone();
}

QStringList SearchWindow::daysToSearch() const
{
    const QString shown = dayCombo_->currentText();
    if (shown != kAllDaysChinese && shown != kAllDaysEnglish)
        return {shown};
    QStringList days;
    for (int entry = 1; entry < dayCombo_->count(); ++entry)
        days << dayCombo_->itemText(entry);
    return days;
}

void SearchWindow::applyHorizontalExtent()
{
    if (widestLine_ <= 0)
        return;
    resultList_->setHorizontalExtent(horizontalExtentFor(widestLine_));
}

void SearchWindow::copyCurrentLine()
{
    clipboard_.setText(resultList_->currentLineText());
    // The same message in both languages.
    dialogs_.message(QStringLiteral("选中行内容已复制到剪切板！"));
}

void SearchWindow::fitResultList(const QSize& outerTwips)
{
    const std::optional<QSize> listTwips = resultListSizeFor(outerTwips);
    if (!listTwips)
        return;
    const int below = listTop() - kListTop;
    resultList_->setGeometry(
        twips::rectToPixels(kListLeft, listTop(), listTwips->width(), std::max(0, listTwips->height() - below)));
    placeProgressCaption();
}

QSize SearchWindow::outerSizeInTwips(const QSize& clientPixels) const
{
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize outer = clientPixels + frame;
    return QSize(twips::fromPixels(outer.width()), twips::fromPixels(outer.height()));
}

void SearchWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitResultList(outerSizeInTwips(event->size()));
}

void SearchWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    fitResultList(outerSizeInTwips(size()));
}

bool SearchWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        if (watched == ipEdit_)
            clearIpPlaceholder();
        else if (watched == keywordEdit_)
            clearKeywordPlaceholder();
    } else if (event->type() == QEvent::MouseButtonDblClick && watched == resultList_->viewport()) {
        copyCurrentLine();
    }
    return QWidget::eventFilter(watched, event);
}
