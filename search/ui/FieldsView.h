#pragma once

#include "store/LogRecord.h"

#include <QAbstractTableModel>

class ExtentListWidget;
class QAbstractItemModel;
class QListWidgetItem;
class SettingsStore;

// A list line of a record: its text is the record's log line (as every list
// shows it), and it carries the record's fields for the fields view and its
// severity for the colour.
QListWidgetItem* recordItem(const LogRecord& record);
// Gives a line of the record the record's fields and severity (as recordItem
// does); returns whether it had any to give.
bool setRecordFields(QListWidgetItem& line, const LogRecord& record);

// The fields view's columns over a list of log lines: time, address,
// severity, facility, host, program, message. Time and address come from the
// line itself; the others from the fields the line carries (empty where it
// carries none: days stored without fields, search results). The message is
// the one after the header where the fields were read, else the line's. Rows
// follow the list's rows as they are added, removed or replaced.
class FieldsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Address, Severity, Facility, Host, Program, Message, ColumnCount };
    // The key sorting uses: numbers for severity and facility, text otherwise.
    static constexpr int kSortRole = Qt::UserRole + 110;

    explicit FieldsModel(QAbstractItemModel& lines, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QAbstractItemModel& lines_;
};

// The setting that remembers the view: "fieldsview", 1 for the fields view;
// missing or anything else means the plain list.
inline constexpr const char* kFieldsViewSetting = "fieldsview";

// Gives a list of log lines the command "Fields view" in its context menu (the
// list's other commands stay there): it shows the list's lines in resizable,
// sortable columns over the list, or the plain list again. The choice is
// stored in the settings and read when this is called: a list attached later
// starts in the view last chosen. The list keeps its lines, its object name and
// its commands either way. Returns the fields view (objectName "fieldsView").
class QTableView;
QTableView* attachFieldsView(ExtentListWidget& list, SettingsStore& settings);
// Whether the list's fields view is the one shown.
bool fieldsViewShown(const ExtentListWidget& list);
// Shows the fields view or the plain list, and remembers the choice.
void showFieldsView(ExtentListWidget& list, bool shown);
