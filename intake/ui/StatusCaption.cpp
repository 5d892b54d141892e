#include "intake/ui/StatusCaption.h"

#include "store/Severity.h"

#include <QCoreApplication>

QString statusCaption(const IntakeSecond& counters)
{
    // The rejected count of the filter-off caption is %n, not %1: the Chinese
    // caption leaves the number out, and %n may be missing from a translation.
    if (counters.filterEnabled == 0)
        return QCoreApplication::translate("StatusCaption", "Filtering info: %n Filter is disabled ", nullptr,
                                           counters.filteredCount);
    return QCoreApplication::translate("StatusCaption",
                                       "Filtering info: %1 invalid info has been filtered. Recv rate %2 per sec")
        .arg(QString::number(counters.filteredCount), QString::number(counters.receivedThisSecond));
}

QString notListeningCaption()
{
    return QCoreApplication::translate("StatusCaption", "Filtering info: not listening, no port is bound");
}

QString notListeningTooltip(int port)
{
    return QCoreApplication::translate("StatusCaption", "Not listening: UDP port %1 is not bound").arg(port);
}

QString serviceAwayCaption()
{
    return QCoreApplication::translate("StatusCaption", "Filtering info: service disconnected, reconnecting…");
}

QString serviceSilentCaption()
{
    return QCoreApplication::translate("StatusCaption", "Filtering info: the service does not answer");
}

QString lossTooltip(const LossCounts& losses)
{
    if (!losses.any())
        return QString();
    return QCoreApplication::translate("StatusCaption",
                                       "Lost since start:\n"
                                       "%1 datagrams dropped by the system (receive buffer full)\n"
                                       "%2 datagrams dropped (too many waiting to be handled)\n"
                                       "%3 records stored neither in the database nor in the recovery file\n"
                                       "%4 messages not kept for their length (shorter than 3 or longer than 65534 "
                                       "characters after the first blank)")
        .arg(losses.kernelDropped)
        .arg(losses.queueDropped)
        .arg(losses.recordsLost)
        .arg(losses.outsideLengthWindow);
}

QString intakeNotes(const IntakeSecond& counters)
{
    QStringList lines;
    if (counters.minSeverity >= 0) {
        const QString severity = QCoreApplication::translate("StatusCaption", "severity %1 (%2) or more urgent")
                                     .arg(counters.minSeverity)
                                     .arg(severityName(counters.minSeverity));
        lines << (counters.filterEnabled == 1
                      ? QCoreApplication::translate("StatusCaption",
                                                    "Filters on: the words info, error and warning; %1")
                            .arg(severity)
                      : QCoreApplication::translate("StatusCaption", "Filters on: %1").arg(severity));
    }
    if (!counters.tcpUnavailable.isEmpty())
        lines << QCoreApplication::translate("StatusCaption",
                                             "Syslog over TCP is not received: the TCP port cannot be bound (%1)")
                     .arg(counters.tcpUnavailable);
    if (!counters.tcpNotes.isEmpty()) {
        lines << QCoreApplication::translate("StatusCaption", "Syslog over TCP:");
        lines << counters.tcpNotes;
    }
    if (!counters.tlsNotes.isEmpty()) {
        lines << QCoreApplication::translate("StatusCaption", "Syslog over TLS:");
        lines << counters.tlsNotes;
    }
    if (!counters.forwardMisses.isEmpty()) {
        lines << QCoreApplication::translate("StatusCaption", "Forwarding missed messages:");
        lines << counters.forwardMisses;
    }
    return lines.join(QLatin1Char('\n'));
}
