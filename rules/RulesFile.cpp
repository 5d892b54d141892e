#include "rules/RulesFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// How long the file must be left alone before it is read: an editor's
// replacing it is over by then.
constexpr int kSettleMs = 150;

using FileText = RulesFile::Reading;

FileText readText(const QString& path)
{
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return {true, {}, file.errorString()};
    return {true, file.readAll(), {}};
}

ParsedRules parsed(const FileText& file)
{
    if (!file.exists)
        return {};
    if (!file.failure.isEmpty()) {
        ParsedRules unreadable;
        unreadable.fileFault = QStringLiteral("it cannot be read: %1").arg(file.failure);
        return unreadable;
    }
    return RuleSet::parse(file.text);
}

} // namespace

RulesFile::RulesFile(const QString& dir, QObject* parent)
    : QObject(parent), dir_(dir), path_(QDir(dir).filePath(RuleSet::fileName()))
{
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &RulesFile::reload);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_, qOverload<>(&QTimer::start));
    connect(&watcher_, &QFileSystemWatcher::fileChanged, &settle_, qOverload<>(&QTimer::start));
}

ParsedRules RulesFile::read(const QString& path) { return parsed(readText(path)); }

Result<> RulesFile::write(const QString& path, const QList<Rule>& rules)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(RuleSet::serialize(rules)) >= 0 && file.commit())
        return {};
    return Failure{QStringLiteral("%1 cannot be written: %2").arg(QDir::toNativeSeparators(path), file.errorString())};
}

void RulesFile::start()
{
    if (std::exchange(started_, true))
        return;
    watcher_.addPath(dir_);
    reload();
}

void RulesFile::reload()
{
    watch();
    const FileText file = readText(path_);
    if (last_ && *last_ == file)
        return;
    last_ = file;
    current_ = parsed(file);
    emit loaded(current_);
}

// A replaced file is a new file: it is watched again.
void RulesFile::watch()
{
    if (QFileInfo::exists(path_) && !watcher_.files().contains(path_))
        watcher_.addPath(path_);
}
