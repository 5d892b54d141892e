#include "search/ui/SearchWindow.h"

#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/QtFileChooser.h"
#include "platform/ui/Twips.h"
#include "search/ui/ListExport.h"
#include "store/LogDatabase.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <exception>
#include <stdexcept>
#include <utility>

namespace {

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

SearchWindow::SearchWindow(const QString& syslng, LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard,
                           QWidget* parent)
    : SearchWindow(syslng, database, dialogs, clipboard, std::make_unique<QtFileChooser>(), nullptr, parent)
{
}

SearchWindow::SearchWindow(const QString& syslng, LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard,
                           FileChooser& chooser, QWidget* parent)
    : SearchWindow(syslng, database, dialogs, clipboard, nullptr, &chooser, parent)
{
}

SearchWindow::SearchWindow(const QString& syslng, LogDatabase& database, Dialogs& dialogs, Clipboard& clipboard,
                           std::unique_ptr<FileChooser> ownedChooser, FileChooser* chooser, QWidget* parent)
    : QWidget(parent, Qt::Window),
      syslng_(syslng),
      database_(database),
      dialogs_(dialogs),
      clipboard_(clipboard),
      ownedChooser_(std::move(ownedChooser)),
      chooser_(chooser ? *chooser : *ownedChooser_),
      search_(database)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("搜索日志"));
    setFont(controlFont());
    resize(twips::toPixels(kDesignClientWidth), twips::toPixels(kDesignClientHeight));
    createControls();
    placeControls();
    chainTabOrder();
    Form_Load();
    搜索日期->setFocus();
}

void SearchWindow::createControls()
{
    Label1 = new QLabel(QStringLiteral("时间范围"), this);
    Label1->setObjectName(QStringLiteral("Label1"));

    搜索日期 = new QComboBox(this);
    搜索日期->setObjectName(QStringLiteral("搜索日期"));
    搜索日期->setEditable(false);

    Label2 = new QLabel(QStringLiteral("内容关键字"), this);
    Label2->setObjectName(QStringLiteral("Label2"));

    关键字 = new QLineEdit(kKeywordPlaceholder, this);
    关键字->setObjectName(QStringLiteral("关键字"));
    关键字->installEventFilter(this);

    给我搜 = new QPushButton(QStringLiteral("给我搜"), this);
    给我搜->setObjectName(QStringLiteral("给我搜"));
    connect(给我搜, &QPushButton::clicked, this, [this] { 给我搜_Click(); });

    txtoutput = new ExtentListWidget(this);
    txtoutput->setObjectName(QStringLiteral("txtoutput"));
    QPalette white = txtoutput->palette();
    white.setColor(QPalette::Base, Qt::white);
    txtoutput->setPalette(white);
    txtoutput->viewport()->installEventFilter(this);
    attachCsvExport(*txtoutput, syslng_, chooser_, dialogs_);

    查询IP = new QLineEdit(kIpPlaceholder, this);
    查询IP->setObjectName(QStringLiteral("查询IP"));
    查询IP->installEventFilter(this);

    Label3 = new QLabel(QStringLiteral("查询IP"), this);
    Label3->setObjectName(QStringLiteral("Label3"));
}

void SearchWindow::placeControls()
{
    placeLabelInTwips(Label1, 120, 240, 840, 210);
    placeInTwips(搜索日期, 1020, 180, 1440, 330);
    shrinkFontToShow(搜索日期, QStringLiteral("2026-12-07"));
    placeLabelInTwips(Label2, 5120, 240, 1050, 210);
    placeInTwips(关键字, 6300, 200, 1935, 315);
    placeInTwips(给我搜, 8400, 150, 855, 375);
    placeInTwips(txtoutput, kListLeft, kListTop, 9375, 5730);
    placeInTwips(查询IP, 3240, 200, 1725, 315);
    placeLabelInTwips(Label3, 2580, 240, 630, 210);
}

void SearchWindow::chainTabOrder()
{
    for (QLabel* label : {Label1, Label2, Label3})
        label->setFocusPolicy(Qt::NoFocus);
    QWidget::setTabOrder(搜索日期, 关键字);
    QWidget::setTabOrder(关键字, 给我搜);
    QWidget::setTabOrder(给我搜, txtoutput);
    QWidget::setTabOrder(txtoutput, 查询IP);
}

bool SearchWindow::chineseMode() const { return syslng_ == QLatin1String("cn"); }

bool SearchWindow::englishMode() const { return syslng_ == QLatin1String("en"); }

QString SearchWindow::allDaysEntry() const { return chineseMode() ? kAllDaysChinese : kAllDaysEnglish; }

void SearchWindow::Form_Load()
{
    if (englishMode())
        applyEnglishCaptions();
    LoadSearchDays();
    搜索日期->setCurrentIndex(搜索日期->findText(allDaysEntry()));
}

void SearchWindow::applyEnglishCaptions()
{
    Label1->setText(QStringLiteral("Date"));
    Label3->setText(QStringLiteral("IP"));
    Label2->setText(QStringLiteral("Keyword"));
    给我搜->setText(QStringLiteral("Search"));
    setWindowTitle(QStringLiteral("Search logs"));
    for (QLabel* label : {Label1, Label2, Label3})
        label->adjustSize();
    查询IP->clear();
    关键字->clear();
}

void SearchWindow::LoadSearchDays()
{
    搜索日期->clear();
    搜索日期->addItem(allDaysEntry());
    try {
        搜索日期->addItems(database_.dayList());
    } catch (const std::exception& e) {
        const QString reason = QString::fromStdString(e.what());
        dialogs_.message(chineseMode() ? QStringLiteral("读取日志日期列表时发生错误：") + reason
                                       : QStringLiteral("Could not read the list of log days: ") + reason);
    }
}

void SearchWindow::clearPlaceholder(QLineEdit* box, const QString& placeholder)
{
    if (box->text() == placeholder)
        box->clear();
}

void SearchWindow::查询IP_Click() { clearPlaceholder(查询IP, kIpPlaceholder); }

void SearchWindow::关键字_Click() { clearPlaceholder(关键字, kKeywordPlaceholder); }

void SearchWindow::给我搜_Click()
{
    clearPlaceholder(查询IP, kIpPlaceholder);
    clearPlaceholder(关键字, kKeywordPlaceholder);
    const QString keyword = 关键字->text();
    const QString ipFragment = 查询IP->text();
    if (keyword.isEmpty() && ipFragment.isEmpty()) {
        dialogs_.message(chineseMode() ? QStringLiteral("搜索关键字和查询IP不能同时为空")
                                       : QStringLiteral("Keyword and IP both null not allow!"));
        return;
    }

    txtoutput->clear();
    SearchWidestLine = 0;
    startSearch(keyword, ipFragment);
}

namespace {

// Lines found are handed to the window in pieces of about this many, so that
// neither the search waits for the window nor the window for the search.
constexpr int kLinesPerHandOver = 2000;

} // namespace

void SearchWindow::startSearch(const QString& keyword, const QString& ipFragment)
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
    pool_.start([search, days, keyword, ipFragment, stop, post]() mutable {
        QStringList lines;
        std::optional<QString> failure;
        try {
            search.run(days, keyword, ipFragment, [&](const QString& line) {
                if (stop->load())
                    throw std::runtime_error("stopped");
                lines << line;
                if (lines.size() >= kLinesPerHandOver)
                    post([batch = std::exchange(lines, {})](SearchWindow& w) { w.addResults(batch); });
            });
        } catch (const std::exception& e) {
            failure = QString::fromStdString(e.what());
        }
        if (stop->load())
            return;
        post([batch = std::move(lines), failure](SearchWindow& w) {
            w.addResults(batch);
            w.finishSearch(failure);
        });
    });
}

void SearchWindow::addResults(const QStringList& lines)
{
    if (lines.isEmpty())
        return;
    for (const QString& line : lines)
        SearchWidestLine = qMax<qint32>(SearchWidestLine, line.size());
    txtoutput->addItems(lines);
}

// The lines found before a failure stay listed; the failure's text is shown.
void SearchWindow::finishSearch(const std::optional<QString>& failure)
{
    running_.reset();
    ApplyHorizontalExtent();
    txtoutput->viewport()->update();
    if (failure)
        dialogs_.message(chineseMode() ? QStringLiteral("搜索日志时发生错误：") + *failure
                                       : QStringLiteral("Search logs error: ") + *failure);
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
    const QString shown = 搜索日期->currentText();
    if (shown != kAllDaysChinese && shown != kAllDaysEnglish)
        return {shown};
    QStringList days;
    for (int entry = 1; entry < 搜索日期->count(); ++entry)
        days << 搜索日期->itemText(entry);
    return days;
}

void SearchWindow::ApplyHorizontalExtent()
{
    if (SearchWidestLine <= 0)
        return;
    txtoutput->setHorizontalExtent(horizontalExtentFor(SearchWidestLine));
}

void SearchWindow::txtoutput_DblClick()
{
    clipboard_.setText(txtoutput->currentLineText());
    dialogs_.message(QStringLiteral("选中行内容已复制到剪切板！"));
}

void SearchWindow::Form_Resize(const QSize& outerTwips)
{
    const std::optional<QSize> listTwips = resultListSizeFor(outerTwips);
    if (!listTwips)
        return;
    txtoutput->setGeometry(twips::rectToPixels(kListLeft, kListTop, listTwips->width(), listTwips->height()));
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
    Form_Resize(outerSizeInTwips(event->size()));
}

void SearchWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    Form_Resize(outerSizeInTwips(size()));
}

bool SearchWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        if (watched == 查询IP)
            查询IP_Click();
        else if (watched == 关键字)
            关键字_Click();
    } else if (event->type() == QEvent::MouseButtonDblClick && watched == txtoutput->viewport()) {
        txtoutput_DblClick();
    }
    return QWidget::eventFilter(watched, event);
}
