#include "search/ui/ListExport.h"

#include "platform/Dialogs.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/QtFileChooser.h"
#include "search/CsvExport.h"

#include <QAction>
#include <QCoreApplication>
#include <QSaveFile>
#include <memory>

namespace {

const QString kActionName = QStringLiteral("exportAction");
const QString kSuggestedFileName = QStringLiteral("syslog.csv");

void exportList(ExtentListWidget& list, FileChooser& chooser, Dialogs& dialogs)
{
    const QString path
        = chooser.saveFileName(list.window(), QCoreApplication::translate("ListExport", "Export to CSV file"),
                               kSuggestedFileName, QCoreApplication::translate("ListExport", "CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    if (const Result<> written = writeListAsCsv(list, path); !written)
        dialogs.warning(QCoreApplication::translate("ListExport", "Could not write %1:\n%2").arg(path, written.error()));
}

void removeEarlierAction(ExtentListWidget& list)
{
    for (QAction* action : list.actions()) {
        if (action->objectName() == kActionName) {
            list.removeAction(action);
            delete action;
        }
    }
}

// ownedChooser, when given, is the chooser itself, kept alive by the command.
void attach(ExtentListWidget& list, FileChooser& chooser, std::shared_ptr<FileChooser> ownedChooser, Dialogs& dialogs)
{
    removeEarlierAction(list);
    auto* action = new QAction(QCoreApplication::translate("ListExport", "Export…"), &list);
    action->setObjectName(kActionName);
    QObject::connect(action, &QAction::triggered, &list, [&list, &chooser, ownedChooser, &dialogs] {
        exportList(list, chooser, dialogs);
    });
    list.addAction(action);
    list.setContextMenuPolicy(Qt::ActionsContextMenu);
}

} // namespace

void attachCsvExport(ExtentListWidget& list, FileChooser& chooser, Dialogs& dialogs)
{
    attach(list, chooser, nullptr, dialogs);
}

void attachCsvExport(ExtentListWidget& list, Dialogs& dialogs)
{
    auto chooser = std::make_shared<QtFileChooser>();
    attach(list, *chooser, chooser, dialogs);
}

Result<> writeListAsCsv(const QListWidget& list, const QString& path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Failure{file.errorString()};
    CsvWriter writer(file);
    bool written = writer.writeHeader();
    for (int row = 0; written && row < list.count(); ++row)
        written = writer.writeRecord(splitLogLine(list.item(row)->text()));
    if (!written || !writer.finish())
        return Failure{writer.errorString()};
    if (!file.commit())
        return Failure{file.errorString()};
    return {};
}
