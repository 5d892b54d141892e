#include "platform/ui/QtFileChooser.h"

#include <QDir>
#include <QFileDialog>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// "csv" for "CSV files (*.csv)"; empty when the filter names no suffix.
QString firstSuffixOf(const QString& filter)
{
    static const QRegularExpression suffix(QStringLiteral(R"(\*\.([A-Za-z0-9]+))"));
    return suffix.match(filter).captured(1);
}

QString startPath(const QString& suggestedName)
{
    if (suggestedName.isEmpty() || !QDir::isRelativePath(suggestedName))
        return suggestedName;
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    return QDir(folder).filePath(suggestedName);
}

} // namespace

QString QtFileChooser::saveFileName(QWidget* parent, const QString& caption, const QString& suggestedName,
                                    const QString& filter)
{
    if (headless_)
        return QString();
    QFileDialog dialog(parent, caption);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(firstSuffixOf(filter));
    dialog.selectFile(startPath(suggestedName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}
