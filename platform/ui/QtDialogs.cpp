#include "platform/ui/QtDialogs.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QTextStream>

namespace {

void showMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, applicationTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}

void printMessage(const QString& text) { QTextStream(stderr) << "kiv-syslog: " << text << Qt::endl; }

} // namespace

void QtDialogs::message(const QString& text)
{
    if (headless_)
        return printMessage(text);
    showMessageBox(parent_, QMessageBox::NoIcon, text);
}

void QtDialogs::warning(const QString& text)
{
    if (headless_)
        return printMessage(text);
    showMessageBox(parent_, QMessageBox::Warning, text);
}

QString QtDialogs::prompt(const QString& prompt, const QString& caption, const QString& defaultText)
{
    if (headless_) {
        printMessage(caption + QStringLiteral(": ") + prompt + QStringLiteral(" (cancelled: no screen)"));
        return QString();
    }
    QInputDialog dialog(parent_);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(caption);
    dialog.setLabelText(prompt);
    dialog.setTextValue(defaultText);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.textValue();
}
