#include "store/Severity.h"

#include <QCoreApplication>

QString severityName(int severity)
{
    static const char* const kNames[] = {QT_TRANSLATE_NOOP("Severity", "emergency"),
                                         QT_TRANSLATE_NOOP("Severity", "alert"),
                                         QT_TRANSLATE_NOOP("Severity", "critical"),
                                         QT_TRANSLATE_NOOP("Severity", "error"),
                                         QT_TRANSLATE_NOOP("Severity", "warning"),
                                         QT_TRANSLATE_NOOP("Severity", "notice"),
                                         QT_TRANSLATE_NOOP("Severity", "informational"),
                                         QT_TRANSLATE_NOOP("Severity", "debug")};
    if (severity < 0 || severity > 7)
        return QString();
    return QCoreApplication::translate("Severity", kNames[severity]);
}
