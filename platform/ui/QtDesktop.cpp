#include "platform/ui/QtDesktop.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>

void QtClipboard::setText(const QString& text)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

bool QtShell::openUrl(const QString& url) { return QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode)); }
