#pragma once

#include "platform/Result.h"
#include "rules/Rule.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

// The rules file of a directory (DIR/rules.json), read at start() and again
// whenever it changes. The directory is watched as well as the file, since
// editors replace a file rather than write into it; a change is read once
// things have been quiet for a moment, and only a change of the text counts.
class RulesFile : public QObject {
    Q_OBJECT
public:
    // What a reading found: whether there was a file, its text or why it could not be read.
    struct Reading {
        bool exists = false;
        QByteArray text;
        QString failure;
        bool operator==(const Reading&) const = default;
    };

    explicit RulesFile(const QString& dir, QObject* parent = nullptr);

    QString path() const { return path_; }
    // Reads the file now (loaded() follows) and watches it from then on.
    void start();
    // Reads the file again now; loaded() follows when its text changed.
    void reload();
    const ParsedRules& current() const { return current_; }

    // Reads a rules file once. A missing file holds no rules; a file that
    // cannot be read gives a fileFault.
    static ParsedRules read(const QString& path);
    // Replaces the file with these rules at once (a reader sees the old or
    // the new text, never a part); the failure names the file.
    static Result<> write(const QString& path, const QList<Rule>& rules);

signals:
    // The file was read and its text differs from the last reading.
    void loaded(const ParsedRules& rules);

private:
    void watch();

    QString dir_;
    QString path_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
    std::optional<Reading> last_;
    bool started_ = false;
    ParsedRules current_;
};
