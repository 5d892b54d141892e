#pragma once

#include <QString>

// Every text of the export to a CSV file, in both language modes.
namespace exporttexts {

inline QString menuCaption(bool english)
{
    return english ? QStringLiteral("Export…") : QStringLiteral("导出…");
}
inline QString chooserCaption(bool english)
{
    return english ? QStringLiteral("Export to CSV file") : QStringLiteral("导出为 CSV 文件");
}
inline QString fileFilter(bool english)
{
    return english ? QStringLiteral("CSV files (*.csv)") : QStringLiteral("CSV 文件 (*.csv)");
}
inline QString suggestedFileName() { return QStringLiteral("syslog.csv"); }
inline QString writeFailed(bool english, const QString& path, const QString& reason)
{
    return english ? QStringLiteral("Could not write %1:\n%2").arg(path, reason)
                   : QStringLiteral("无法写入文件 %1：\n%2").arg(path, reason);
}

} // namespace exporttexts
