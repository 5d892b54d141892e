#pragma once

#include "store/LogRecord.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class QIODevice;

// Log records as comma-separated values, the way spreadsheets read them:
// UTF-8 starting with a byte order mark, the header line 时间,IP地址,信息, one
// line per record, every line ending in CR LF. A field holding a comma, a
// double quote, a CR or an LF is put between double quotes, with each double
// quote inside it doubled; every other field is written as it is. A field
// that starts with = + - @, a tab or a CR, which a spreadsheet could take for
// a formula, gets an apostrophe in front (inside the quotes when quoted), so
// that it opens as the text it is.

// The byte order mark and the header line.
QByteArray csvHeader();

// Appends one field, quoted when it needs to be, to a line being built.
void appendCsvField(QByteArray& line, QByteArrayView utf8Field);

// One record as a CSV line, CR LF included.
QByteArray csvRecord(const QString& time, const QString& ip, const QString& message);

// The record behind a log line as the lists show it,
// "yyyy-MM-dd hh:mm:ss IP:address message". A line that does not have that
// form goes whole into the message, with empty time and address.
LogRecord splitLogLine(const QString& line);

// Writes CSV to a device in large blocks. Nothing reaches the device before
// the buffer fills or finish() is called.
class CsvWriter {
public:
    explicit CsvWriter(QIODevice& out);

    // Each returns false once the device has refused to take a block.
    bool writeHeader();
    // The fields as UTF-8 bytes, taken as they are.
    bool writeRecord(QByteArrayView time, QByteArrayView ip, QByteArrayView message);
    bool writeRecord(const LogRecord& record);
    // Hands what is buffered to the device.
    bool finish();

    // The device's reason after a refusal.
    QString errorString() const;

private:
    bool flushWhenFull();

    QIODevice& out_;
    QByteArray buffer_;
    bool failed_ = false;
};
