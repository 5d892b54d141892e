#pragma once

#include "platform/Clock.h"
#include "platform/Database.h"
#include "store/LogRecord.h"
#include "store/RecordWriter.h"

#include <QList>

// A write path that keeps every appended record in memory, each tagged with
// the day of the table it was opened on (today by the clock at reopen()).
// Setting `broken` makes every operation fail like an unavailable database.
class RecordingWriter final : public RecordWriter {
public:
    struct Row {
        QString tableDay;
        LogRecord record;
    };

    explicit RecordingWriter(const Clock& clock) : clock_(clock) {}

    bool isOpen() const override { return open_; }
    Result<> reopen() override
    {
        ++reopens;
        open_ = !broken;
        openDay_ = clock_.now().toString(QLatin1StringView(kDayFormat));
        return open_ ? Result<>() : Failure{kBrokenText};
    }
    void close() override { open_ = false; }
    void begin() override { failIfBroken(); ++transactions; }
    void commit() override { failIfBroken(); }
    void rollback() override {}
    qint64 append(const LogRecord& record) override
    {
        failIfBroken();
        rows.append({openDay_, record});
        return rows.size();
    }

    QStringList messages() const
    {
        QStringList texts;
        for (const Row& row : rows)
            texts << row.record.message;
        return texts;
    }

    QList<Row> rows;
    bool broken = false;
    int reopens = 0;
    int transactions = 0;

private:
    static inline const QString kBrokenText = QStringLiteral("disk I/O error");

    void failIfBroken()
    {
        if (broken)
            throw DbError(kBrokenText, DbError::kIoError);
    }

    const Clock& clock_;
    bool open_ = false;
    QString openDay_;
};
