#include "search/ui/FieldsView.h"

#include "platform/SettingsStore.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/LogLineDelegate.h"
#include "platform/ui/Named.h"
#include "store/Severity.h"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>
#include <QListWidgetItem>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QTableView>

namespace {

constexpr int kFacilityRole = Qt::UserRole + 103;
constexpr int kHostRole = Qt::UserRole + 104;
constexpr int kAppRole = Qt::UserRole + 105;
// The message after the header, where the fields were read.
constexpr int kMsgRole = Qt::UserRole + 106;

const QString kSwitchName = QStringLiteral("fieldsViewSwitch");

// The facility keywords of RFC 5424's table, as syslog.conf names them.
QString facilityName(int facility)
{
    static const char* const kNames[] = {"kern",     "user",   "mail",   "daemon", "auth",   "syslog",
                                         "lpr",      "news",   "uucp",   "cron",   "authpriv", "ftp",
                                         "ntp",      "audit",  "alert",  "clock",  "local0", "local1",
                                         "local2",   "local3", "local4", "local5", "local6", "local7"};
    if (facility < 0 || facility > 23)
        return QString();
    return QString::fromLatin1(kNames[facility]);
}

// A log line in its parts: time, address, message (see logLine).
struct LineParts {
    QString time;
    QString ip;
    QString message;
};

LineParts splitLine(const QString& line)
{
    const qsizetype marker = line.indexOf(QLatin1StringView(" IP:"));
    if (marker < 0)
        return {QString(), QString(), line};
    const qsizetype ipStart = marker + 4;
    qsizetype ipEnd = line.indexOf(QLatin1Char(' '), ipStart);
    if (ipEnd < 0)
        ipEnd = line.size();
    return {line.left(marker), line.mid(ipStart, ipEnd - ipStart), line.mid(ipEnd + 1)};
}

int intOr(const QVariant& value, int otherwise) { return value.isValid() ? value.toInt() : otherwise; }

// Keeps a list's fields view: shows it over the list or hides it, and follows
// the list's size and current line.
class FieldsViewSwitch : public QObject {
public:
    FieldsViewSwitch(ExtentListWidget& list, SettingsStore& settings) : QObject(&list), list_(list), settings_(settings)
    {
        setObjectName(kSwitchName);
        auto* model = new FieldsModel(*list.model(), this);
        proxy_ = new QSortFilterProxyModel(this);
        proxy_->setSourceModel(model);
        proxy_->setSortRole(FieldsModel::kSortRole);
        proxy_->setSortLocaleAware(true);
        table_ = makeNamed<QTableView>(QStringLiteral("fieldsView"), &list);
        table_->setModel(proxy_);
        table_->setItemDelegate(new LogLineDelegate(table_));
        table_->setSelectionBehavior(QAbstractItemView::SelectRows);
        table_->setSelectionMode(QAbstractItemView::SingleSelection);
        table_->setWordWrap(false);
        table_->verticalHeader()->hide();
        table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
        table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
        table_->horizontalHeader()->setSectionsMovable(false);
        table_->horizontalHeader()->setStretchLastSection(true);
        table_->setSortingEnabled(true);
        table_->setPalette(list.palette());
        table_->setStyleSheet(QStringLiteral("QTableView { background: white; }"));
        table_->setContextMenuPolicy(Qt::ActionsContextMenu);
        const int digit = table_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
        const int widths[] = {18, 13, 14, 9, 8, 10};
        for (int column = 0; column < FieldsModel::Message; ++column)
            table_->setColumnWidth(column, widths[column] * digit);
        table_->hide();

        action_ = makeNamed<QAction>(QStringLiteral("fieldsViewAction"),
                                     QCoreApplication::translate("FieldsView", "Fields view"), &list);
        action_->setCheckable(true);
        connect(action_, &QAction::toggled, this, [this](bool on) {
            settings_.write(QString::fromLatin1(kFieldsViewSetting), on ? QStringLiteral("1") : QStringLiteral("0"));
            apply(on);
        });
        list.addAction(action_);
        list.setContextMenuPolicy(Qt::ActionsContextMenu);
        list.installEventFilter(this);
        connect(&list, &QListWidget::currentRowChanged, this, [this](int row) { followCurrentRow(row); });
        // A double click on a row acts as one on its line in the list (which
        // copies it in every window that has that command).
        connect(table_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
            const int row = proxy_->mapToSource(index).row();
            QListWidgetItem* line = list_.item(row);
            if (!line)
                return;
            list_.setCurrentRow(row);
            list_.scrollToItem(line);
            const QPoint at(2, list_.visualItemRect(line).center().y());
            QMouseEvent click(QEvent::MouseButtonDblClick, at, list_.viewport()->mapToGlobal(at), Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(list_.viewport(), &click);
        });
    }

    QTableView* table() const { return table_; }
    QAction* action() const { return action_; }

    // Switched by the user: remembered (through the action's toggled).
    void choose(bool on) { action_->setChecked(on); }

    // Shows the view or the list without remembering it.
    void apply(bool on)
    {
        {
            const QSignalBlocker quiet(action_);
            action_->setChecked(on);
        }
        if (on) {
            takeListActions();
            table_->setGeometry(list_.rect());
            table_->raise();
            followCurrentRow(list_.currentRow());
        }
        table_->setVisible(on);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &list_ && event->type() == QEvent::Resize)
            table_->setGeometry(list_.rect());
        // A command given to the list later (the main list's Rules…) is the view's too.
        if (watched == &list_ && (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved))
            takeListActions();
        return QObject::eventFilter(watched, event);
    }

private:
    // The list's commands, in its order.
    void takeListActions()
    {
        for (QAction* action : table_->actions())
            table_->removeAction(action);
        table_->addActions(list_.actions());
    }
    void followCurrentRow(int row)
    {
        if (!action_->isChecked() || row < 0)
            return;
        const QModelIndex index = proxy_->mapFromSource(proxy_->sourceModel()->index(row, 0));
        table_->setCurrentIndex(index);
        table_->scrollTo(index);
    }

    ExtentListWidget& list_;
    SettingsStore& settings_;
    QSortFilterProxyModel* proxy_ = nullptr;
    QTableView* table_ = nullptr;
    QAction* action_ = nullptr;
};

FieldsViewSwitch* switchOf(const ExtentListWidget& list)
{
    return list.findChild<FieldsViewSwitch*>(kSwitchName, Qt::FindDirectChildrenOnly);
}

} // namespace

QListWidgetItem* recordItem(const LogRecord& record)
{
    auto* item = new QListWidgetItem(logLine(record));
    setRecordFields(*item, record);
    return item;
}

bool setRecordFields(QListWidgetItem& line, const LogRecord& record)
{
    const LogFields& fields = record.fields;
    if (fields.severity >= 0)
        line.setData(kSyslogSeverityRole, fields.severity);
    if (fields.facility >= 0)
        line.setData(kFacilityRole, fields.facility);
    if (!fields.host.isNull())
        line.setData(kHostRole, fields.host);
    if (!fields.app.isNull())
        line.setData(kAppRole, fields.app);
    if (!fields.known())
        return fields.severity >= 0 || fields.facility >= 0 || !fields.host.isNull() || !fields.app.isNull();
    line.setData(kMsgRole, fields.msg(record.message));
    return true;
}

FieldsModel::FieldsModel(QAbstractItemModel& lines, QObject* parent) : QAbstractTableModel(parent), lines_(lines)
{
    // The rows are the list's rows: every change of the list is passed on as
    // the same change here.
    connect(&lines, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex&, int first, int last) { beginInsertRows({}, first, last); });
    connect(&lines, &QAbstractItemModel::rowsInserted, this, [this] { endInsertRows(); });
    connect(&lines, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { beginRemoveRows({}, first, last); });
    connect(&lines, &QAbstractItemModel::rowsRemoved, this, [this] { endRemoveRows(); });
    connect(&lines, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(&lines, &QAbstractItemModel::modelReset, this, [this] { endResetModel(); });
    connect(&lines, &QAbstractItemModel::layoutAboutToBeChanged, this, [this] { beginResetModel(); });
    connect(&lines, &QAbstractItemModel::layoutChanged, this, [this] { endResetModel(); });
    connect(&lines, &QAbstractItemModel::rowsAboutToBeMoved, this, [this] { beginResetModel(); });
    connect(&lines, &QAbstractItemModel::rowsMoved, this, [this] { endResetModel(); });
    connect(&lines, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& first, const QModelIndex& last) {
                emit dataChanged(index(first.row(), 0), index(last.row(), ColumnCount - 1));
            });
}

int FieldsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : lines_.rowCount(); }

int FieldsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant FieldsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const QModelIndex line = lines_.index(index.row(), 0);
    if (role == kSyslogSeverityRole)
        return line.data(kSyslogSeverityRole);
    if (role == kWholeLineRole)
        return line.data(Qt::DisplayRole);
    if (role == kRuleColourRole)
        return line.data(kRuleColourRole);
    if (role != Qt::DisplayRole && role != kSortRole && role != Qt::ToolTipRole)
        return {};
    const int severity = intOr(line.data(kSyslogSeverityRole), -1);
    const int facility = intOr(line.data(kFacilityRole), -1);
    if (role == kSortRole && index.column() == Severity)
        return severity;
    if (role == kSortRole && index.column() == Facility)
        return facility;
    const LineParts parts = splitLine(line.data(Qt::DisplayRole).toString());
    switch (index.column()) {
    case Time:
        return parts.time;
    case Address:
        return parts.ip;
    case Severity:
        return severity < 0 ? QString() : QStringLiteral("%1 %2").arg(severity).arg(severityName(severity));
    case Facility:
        return facility < 0 ? QString() : QStringLiteral("%1 %2").arg(facility).arg(facilityName(facility));
    case Host:
        return line.data(kHostRole).toString();
    case Program:
        return line.data(kAppRole).toString();
    case Message: {
        const QVariant msg = line.data(kMsgRole);
        return msg.isValid() ? msg.toString() : parts.message;
    }
    default:
        return {};
    }
}

QVariant FieldsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char* const titles[ColumnCount] = {QT_TR_NOOP("Time"),     QT_TR_NOOP("Address"),
                                                    QT_TR_NOOP("Severity"), QT_TR_NOOP("Facility"),
                                                    QT_TR_NOOP("Host"),     QT_TR_NOOP("Program"),
                                                    QT_TR_NOOP("Message")};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return section >= 0 && section < ColumnCount ? tr(titles[section]) : QVariant();
}

QTableView* attachFieldsView(ExtentListWidget& list, SettingsStore& settings)
{
    FieldsViewSwitch* fieldsSwitch = switchOf(list);
    if (!fieldsSwitch)
        fieldsSwitch = new FieldsViewSwitch(list, settings);
    fieldsSwitch->apply(settings.read(QString::fromLatin1(kFieldsViewSetting)) == QLatin1String("1"));
    return fieldsSwitch->table();
}

bool fieldsViewShown(const ExtentListWidget& list)
{
    const FieldsViewSwitch* fieldsSwitch = switchOf(list);
    return fieldsSwitch && fieldsSwitch->action()->isChecked();
}

void showFieldsView(ExtentListWidget& list, bool shown)
{
    if (FieldsViewSwitch* fieldsSwitch = switchOf(list))
        fieldsSwitch->choose(shown);
}
