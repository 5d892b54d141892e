#pragma once

#include "platform/Result.h"

#include <QString>

class Dialogs;
class ExtentListWidget;
class FileChooser;
class QListWidget;

// Gives a list of log lines the command Export… (导出… in Chinese) in its
// context menu. The command asks the chooser for a file name and writes every
// line of the list to it as CSV (see CsvExport.h); a file that cannot be
// written is reported through the dialogs with its name and the reason.
// Cancelling the question does nothing. Attaching again replaces the earlier
// command. The chooser and the dialogs must outlive the list.
void attachCsvExport(ExtentListWidget& list, FileChooser& chooser, Dialogs& dialogs);

// The same with the file dialog as the chooser, for a list whose window has
// no chooser of its own.
void attachCsvExport(ExtentListWidget& list, Dialogs& dialogs);

// Writes every line of the list to the file as CSV. A file that exists is
// replaced only once the new one is complete. Fails, with the reason, when the
// file cannot be written.
Result<> writeListAsCsv(const QListWidget& list, const QString& path);
