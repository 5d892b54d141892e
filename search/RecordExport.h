#pragma once

#include "platform/Result.h"
#include "search/LogSearch.h"

#include <QString>

class QIODevice;

// Exports stored records as CSV (see CsvExport.h), for the command line.
//
// dataDir holds syslog.mdb. day is "yyyy-MM-dd" for that day's table or
// "all" for every table named syslog-yyyy-MM-dd (a valid date), days
// ascending. Within a day the records come in ID order, all of them (no
// per-day limit). keyword is matched inside the message and ip inside the
// sender's address as the search window does (LIKE '%…%', where '%' and '_'
// are wildcards); an empty one adds no test.
//
// The database is only read, never created or changed, and a writer may be
// running beside the export. Fails, with a one-line reason, for a day text of
// another form, a day without a table, a missing or unreadable database, a
// failed read, or an output that refuses to be written. Nothing is written
// when the day or the database is at fault; after a failed read or write the
// output holds what was written before it.
Result<> exportRecords(const QString& dataDir, const QString& day, const QString& keyword, const QString& ip,
                       QIODevice& out);

// How exported records are written: CSV as above, or JSON Lines, one object a
// record with the keys time, ip and message (the stored 时间, IP地址 and
// 信息) and, where known, facility, severity, host, app, procid, msgid,
// timestamp (the sender's own, ISO 8601), sd and msg (the message part after
// the header).
enum class ExportFormat { Csv, JsonLines };

// The same with every criterion of a search (see SearchQuery; an empty query
// exports every record of the days).
Result<> exportRecords(const QString& dataDir, const QString& day, const SearchQuery& query, QIODevice& out,
                       ExportFormat format = ExportFormat::Csv);
