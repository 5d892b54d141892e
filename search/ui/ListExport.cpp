#include "search/ui/ListExport.h"

#include "platform/Dialogs.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/QtFileChooser.h"
#include "search/CsvExport.h"
#include "search/ExportTexts.h"

#include <QAction>
#include <QSaveFile>
#include <memory>

namespace {

const QString kActionName = QStringLiteral("exportAction");

void exportList(ExtentListWidget& list, bool english, FileChooser& chooser, Dialogs& dialogs)
{
    const QString path = chooser.saveFileName(list.window(), exporttexts::chooserCaption(english),
                                              exporttexts::suggestedFileName(), exporttexts::fileFilter(english));
    if (path.isEmpty())
        return;
    if (const Result<> written = writeListAsCsv(list, path); !written)
        dialogs.warning(exporttexts::writeFailed(english, path, written.error()));
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
void attach(ExtentListWidget& list, const QString& languageMode, FileChooser& chooser,
            std::shared_ptr<FileChooser> ownedChooser, Dialogs& dialogs)
{
    const bool english = languageMode == QLatin1String("en");
    removeEarlierAction(list);
    auto* action = new QAction(exporttexts::menuCaption(english), &list);
    action->setObjectName(kActionName);
    QObject::connect(action, &QAction::triggered, &list, [&list, english, &chooser, ownedChooser, &dialogs] {
        exportList(list, english, chooser, dialogs);
    });
    list.addAction(action);
    list.setContextMenuPolicy(Qt::ActionsContextMenu);
}

} // namespace

void attachCsvExport(ExtentListWidget& list, const QString& languageMode, FileChooser& chooser, Dialogs& dialogs)
{
    attach(list, languageMode, chooser, nullptr, dialogs);
}

void attachCsvExport(ExtentListWidget& list, const QString& languageMode, Dialogs& dialogs)
{
    auto chooser = std::make_shared<QtFileChooser>();
    attach(list, languageMode, *chooser, chooser, dialogs);
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
