#pragma once

#include "platform/Clock.h"
#include "platform/Database.h"
#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/FileChooser.h"
#include "platform/SettingsStore.h"
#include "platform/Timer.h"

#include <QMap>
#include <QStringList>
#include <deque>
#include <functional>

// A clock that stands still until the test moves it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(13, 45, 10))) : now_(start) {}
    QDateTime now() const override { return now_; }
    void set(const QDateTime& time) { now_ = time; }
    void advanceSeconds(qint64 seconds) { now_ = now_.addSecs(seconds); }

private:
    QDateTime now_;
};

// A timer that only ticks when the test says so.
class FakeTimer final : public Timer {
public:
    void start() override { active_ = true; ++starts; }
    void stop() override { active_ = false; }
    bool isActive() const override { return active_; }
    void tick() { fire(); }
    int starts = 0;

private:
    bool active_ = false;
};

// Records every message and answers prompts from a script (Cancel when the
// script runs out).
class FakeDialogs final : public Dialogs {
public:
    void message(const QString& text) override { messages << text; }
    void warning(const QString& text) override { warnings << text; }
    QString prompt(const QString& prompt, const QString& caption, const QString& defaultText) override
    {
        prompts << prompt;
        promptCaptions << caption;
        promptDefaults << defaultText;
        if (whilePrompting)
            whilePrompting();
        if (answers.empty())
            return QString();
        const QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<QString> answers;
    // Runs while a prompt is open, as events the user or the system cause then would.
    std::function<void()> whilePrompting;
    QStringList messages;
    QStringList warnings;
    QStringList prompts;
    QStringList promptCaptions;
    QStringList promptDefaults;
};

class FakeSettingsStore final : public SettingsStore {
public:
    QString read(const QString& name) const override { return values.value(name); }
    bool write(const QString& name, const QString& value) override
    {
        if (!writable)
            return false;
        values[name] = value;
        return true;
    }
    QMap<QString, QString> values;
    bool writable = true;
};

class FakeClipboard final : public Clipboard {
public:
    void setText(const QString& text) override { texts << text; }
    QStringList texts;
};

class FakeShell final : public Shell {
public:
    bool openUrl(const QString& url) override { urls << url; return true; }
    QStringList urls;
};

// A database engine that can be made to fail every open, as when the file is
// locked or the disk is gone.
class SwitchableEngine final : public DbEngine {
public:
    explicit SwitchableEngine(DbEngine& real) : real_(real) {}
    std::unique_ptr<DbConnection> open(const QString& path, OpenMode mode = OpenMode::ExistingOnly) override
    {
        if (failing)
            throw DbError(QStringLiteral("unable to open database file"));
        return real_.open(path, mode);
    }
    bool failing = false;

private:
    DbEngine& real_;
};

// Answers file-name questions from a script (Cancel when the script runs out).
class FakeFileChooser final : public FileChooser {
public:
    QString saveFileName(QWidget*, const QString&, const QString&, const QString&) override
    {
        ++asked;
        if (answers.empty())
            return QString();
        const QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<QString> answers;
    int asked = 0;
};
