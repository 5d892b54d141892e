#include "search/CsvExport.h"

#include <QIODevice>

namespace {

constexpr qsizetype kBlockBytes = 1 << 20;

// A spreadsheet reads a cell starting with one of these as a formula (a tab
// or CR in front of one is skipped by some); an apostrophe in front keeps it
// text, as OWASP advises against CSV injection.
bool mightBeReadAsFormula(QByteArrayView field)
{
    if (field.isEmpty())
        return false;
    switch (field.front()) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r':
        return true;
    default:
        return false;
    }
}

bool needsQuotes(QByteArrayView field)
{
    for (const char c : field) {
        if (c == ',' || c == '"' || c == '\r' || c == '\n')
            return true;
    }
    return false;
}

// The fixed-width prefix of a log line: "yyyy-MM-dd hh:mm:ss IP:".
bool hasTimeAndAddressMark(const QString& line)
{
    static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd IP:";
    constexpr qsizetype kLength = sizeof(kShape) - 1;
    if (line.size() < kLength)
        return false;
    for (qsizetype i = 0; i < kLength; ++i) {
        const QChar c = line[i];
        if (kShape[i] == 'd' ? !(c >= QLatin1Char('0') && c <= QLatin1Char('9')) : c != QLatin1Char(kShape[i]))
            return false;
    }
    return true;
}

} // namespace

QByteArray csvHeader() { return QByteArrayLiteral("\xEF\xBB\xBF") + QStringLiteral("时间,IP地址,信息\r\n").toUtf8(); }

void appendCsvField(QByteArray& line, QByteArrayView utf8Field)
{
    const bool neutralised = mightBeReadAsFormula(utf8Field);
    if (!needsQuotes(utf8Field)) {
        if (neutralised)
            line.append('\'');
        line.append(utf8Field);
        return;
    }
    line.append('"');
    if (neutralised)
        line.append('\'');
    for (const char c : utf8Field) {
        if (c == '"')
            line.append('"');
        line.append(c);
    }
    line.append('"');
}

namespace {

// One record's line: the three fields, then CRLF.
void appendCsvRecord(QByteArray& line, QByteArrayView time, QByteArrayView ip, QByteArrayView message)
{
    appendCsvField(line, time);
    line.append(',');
    appendCsvField(line, ip);
    line.append(',');
    appendCsvField(line, message);
    line.append("\r\n", 2);
}

} // namespace

QByteArray csvRecord(const QString& time, const QString& ip, const QString& message)
{
    QByteArray line;
    appendCsvRecord(line, time.toUtf8(), ip.toUtf8(), message.toUtf8());
    return line;
}

LogRecord splitLogLine(const QString& line)
{
    constexpr qsizetype kTimeLength = 19;
    constexpr qsizetype kAddressStart = kTimeLength + 4;  // after " IP:"
    if (hasTimeAndAddressMark(line)) {
        const qsizetype blank = line.indexOf(QLatin1Char(' '), kAddressStart);
        if (blank >= 0)
            return {line.left(kTimeLength), line.mid(kAddressStart, blank - kAddressStart), line.mid(blank + 1)};
    }
    return {QString(), QString(), line};
}

CsvWriter::CsvWriter(QIODevice& out) : out_(out) { buffer_.reserve(kBlockBytes + 4096); }

bool CsvWriter::writeHeader()
{
    buffer_.append(csvHeader());
    return flushWhenFull();
}

bool CsvWriter::writeRecord(QByteArrayView time, QByteArrayView ip, QByteArrayView message)
{
    appendCsvRecord(buffer_, time, ip, message);
    return flushWhenFull();
}

bool CsvWriter::writeRecord(const LogRecord& record)
{
    return writeRecord(record.time.toUtf8(), record.ip.toUtf8(), record.message.toUtf8());
}

bool CsvWriter::flushWhenFull() { return buffer_.size() < kBlockBytes ? !failed_ : finish(); }

bool CsvWriter::finish()
{
    if (failed_)
        return false;
    if (!buffer_.isEmpty() && out_.write(buffer_) != buffer_.size())
        failed_ = true;
    buffer_.resize(0);  // keeps the block's memory
    return !failed_;
}

QString CsvWriter::errorString() const { return out_.errorString(); }
