#include "intake/ui/StatusCaption.h"

#include <QCoreApplication>

namespace {

QString chineseCaption(const IntakeSecond& counters)
{
    if (counters.filterEnabled != 1)
        return QStringLiteral("过滤信息:消息过滤功能已关闭");
    return QStringLiteral("过滤信息:已过滤无效信息") + QString::number(counters.filteredCount) + QStringLiteral("条")
        + QStringLiteral(",接收速率") + QString::number(counters.receivedThisSecond) + QStringLiteral("条/秒");
}

QString englishCaption(const IntakeSecond& counters)
{
    const QString rejected = QStringLiteral("Filtering info: ") + QString::number(counters.filteredCount);
    if (counters.filterEnabled != 1)
        return rejected + QStringLiteral(" Filter is disabled ");
    return rejected + QStringLiteral(" invalid info has been filtered. Recv rate ")
        + QString::number(counters.receivedThisSecond) + QStringLiteral(" per sec");
}

} // namespace

QString statusCaption(const IntakeSecond& counters, bool english)
{
    return english ? englishCaption(counters) : chineseCaption(counters);
}

QString serviceAwayCaption(bool english)
{
    return english ? QStringLiteral("Filtering info: service disconnected, reconnecting…")
                   : QStringLiteral("过滤信息:服务已断开，正在重新连接…");
}

QString serviceSilentCaption()
{
    return QCoreApplication::translate("StatusCaption", "Filtering info: the service does not answer");
}

QString lossTooltip(const LossCounts& losses, bool english)
{
    if (!losses.any())
        return QString();
    if (english)
        return QStringLiteral("Lost since start:\n"
                              "%1 datagrams dropped by the system (receive buffer full)\n"
                              "%2 datagrams dropped (too many waiting to be handled)\n"
                              "%3 records stored neither in the database nor in the recovery file")
            .arg(losses.kernelDropped)
            .arg(losses.queueDropped)
            .arg(losses.recordsLost);
    return QStringLiteral("启动以来丢失：\n"
                          "系统丢弃的数据包（接收缓冲区已满）%1个\n"
                          "丢弃的数据包（等待处理的过多）%2个\n"
                          "既未存入数据库也未写入恢复文件的记录%3条")
        .arg(losses.kernelDropped)
        .arg(losses.queueDropped)
        .arg(losses.recordsLost);
}

QString intakeNotes(const IntakeSecond& counters, bool english)
{
    QStringList lines;
    if (!counters.tcpUnavailable.isEmpty())
        lines << (english ? QStringLiteral("Syslog over TCP is not received: the TCP port cannot be bound (%1)")
                          : QStringLiteral("未接收TCP日志：TCP端口无法绑定（%1）"))
                     .arg(counters.tcpUnavailable);
    if (!counters.forwardMisses.isEmpty()) {
        lines << (english ? QStringLiteral("Forwarding missed messages:") : QStringLiteral("转发遗漏的消息："));
        lines << counters.forwardMisses;
    }
    return lines.join(QLatin1Char('\n'));
}
