#include "net/ForwardDestination.h"

#include "platform/Result.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <algorithm>

namespace {

bool isHostNameLabel(QStringView label)
{
    if (label.isEmpty() || label.size() > 63 || label.front() == u'-' || label.back() == u'-')
        return false;
    return std::all_of(label.begin(), label.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_';
    });
}

bool isDottedNumbers(const QString& host)
{
    return std::all_of(host.begin(), host.end(), [](QChar c) { return (c >= u'0' && c <= u'9') || c == u'.'; });
}

bool isIpv4Address(const QString& host)
{
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4)
        return false;
    return std::all_of(parts.begin(), parts.end(), [](const QString& part) {
        bool ok = false;
        const int value = part.toInt(&ok);
        return ok && !part.isEmpty() && part.size() <= 3 && value <= 255;
    });
}

// The destination an entry names, or the reason it names none.
Result<ForwardDestination> parseEntry(const QString& entry)
{
    const qsizetype schemeEnd = entry.indexOf(QStringLiteral("://"));
    if (schemeEnd < 0) {
        return Failure{QStringLiteral("it is not of the form udp://HOST:PORT, tcp://HOST:PORT, tcp+lf://HOST:PORT or "
                                      "tls://HOST:PORT")};
    }
    ForwardDestination destination;
    const QString scheme = entry.left(schemeEnd).toLower();
    if (scheme == u"udp") {
        destination.transport = ForwardDestination::Transport::Udp;
    } else if (scheme == u"tcp") {
        destination.transport = ForwardDestination::Transport::Tcp;
    } else if (scheme == u"tls") {
        destination.transport = ForwardDestination::Transport::Tls;
    } else if (scheme == u"tcp+lf") {
        destination.transport = ForwardDestination::Transport::Tcp;
        destination.framing = ForwardDestination::Framing::LineFeed;
    } else {
        return Failure{QStringLiteral("the transport \"%1\" is not udp, tcp, tcp+lf or tls").arg(entry.left(schemeEnd))};
    }

    QString rest = entry.mid(schemeEnd + 3);
    const qsizetype query = rest.indexOf(u'?');
    if (query >= 0) {
        const QString option = rest.mid(query + 1);
        if (option.compare(QLatin1String("raw"), Qt::CaseInsensitive) != 0) {
            return Failure{QStringLiteral("the option \"%1\" is unknown (the one option is raw)").arg(option)};
        }
        destination.raw = true;
        rest.truncate(query);
    }
    QString portText;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0) {
            return Failure{QStringLiteral("the IPv6 address has no closing bracket")};
        }
        destination.host = rest.mid(1, close - 1);
        const QHostAddress address(destination.host);
        if (address.protocol() != QAbstractSocket::IPv6Protocol) {
            return Failure{QStringLiteral("\"%1\" is not an IPv6 address").arg(destination.host)};
        }
        if (rest.mid(close + 1, 1) != u":") {
            return Failure{QStringLiteral("the port is missing")};
        }
        portText = rest.mid(close + 2);
    } else {
        const qsizetype colon = rest.lastIndexOf(u':');
        if (colon < 0) {
            return Failure{QStringLiteral("the port is missing")};
        }
        destination.host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (destination.host.contains(u':')) {
            return Failure{QStringLiteral("an IPv6 address must be written in brackets, as [%1]").arg(destination.host)};
        }
        if (destination.host.isEmpty()) {
            return Failure{QStringLiteral("the host is missing")};
        }
        if (isDottedNumbers(destination.host)) {
            if (!isIpv4Address(destination.host)) {
                return Failure{QStringLiteral("\"%1\" is not an IPv4 address").arg(destination.host)};
            }
        } else {
            const QStringList labels = destination.host.split(u'.');
            if (destination.host.size() > 253
                || !std::all_of(labels.begin(), labels.end(), [](const QString& l) { return isHostNameLabel(l); })) {
                return Failure{QStringLiteral("\"%1\" is not a host name").arg(destination.host)};
            }
        }
    }

    const bool digitsOnly = !portText.isEmpty() && portText.size() <= 5
        && std::all_of(portText.begin(), portText.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const int port = digitsOnly ? portText.toInt() : 0;
    if (portText.isEmpty()) {
        return Failure{QStringLiteral("the port is missing")};
    }
    if (port < 1 || port > 65535) {
        return Failure{QStringLiteral("the port \"%1\" is not a number from 1 to 65535").arg(portText)};
    }
    destination.port = quint16(port);
    return destination;
}

} // namespace

QString ForwardDestination::text() const
{
    QString scheme = transport == Transport::Tcp ? QStringLiteral("tcp")
                   : transport == Transport::Tls ? QStringLiteral("tls")
                                                 : QStringLiteral("udp");
    if (transport == Transport::Tcp && framing == Framing::LineFeed)
        scheme += QStringLiteral("+lf");
    const QString hostText = host.contains(u':') ? u'[' + host + u']' : host;
    return QStringLiteral("%1://%2:%3%4").arg(scheme, hostText).arg(port).arg(raw ? QStringLiteral("?raw") : QString());
}

ParsedForwardDestinations parseForwardDestinations(const QString& settingText)
{
    ParsedForwardDestinations parsed;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    for (const QString& entry : settingText.split(blanks, Qt::SkipEmptyParts)) {
        const Result<ForwardDestination> destination = parseEntry(entry);
        if (!destination)
            parsed.errors << QStringLiteral("Forwarding destination \"%1\" ignored: %2.").arg(entry, destination.error());
        else if (parsed.destinations.contains(*destination))
            parsed.errors << QStringLiteral("Forwarding destination \"%1\" ignored: it is listed more than once.").arg(entry);
        else
            parsed.destinations << *destination;
    }
    return parsed;
}
