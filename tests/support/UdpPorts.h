#pragma once

#include <QHostAddress>
#include <QRandomGenerator>
#include <QUdpSocket>

// A UDP port that is free now, taken below the kernel's ephemeral range
// (32768 and up on Linux), so that the sockets other tests open meanwhile
// without a port cannot be handed the same one before the program binds it.
inline quint16 unusedUdpPort()
{
    for (;;) {
        const auto candidate = static_cast<quint16>(QRandomGenerator::global()->bounded(20000, 32000));
        QUdpSocket probe;
        if (probe.bind(QHostAddress::AnyIPv4, candidate, QAbstractSocket::DontShareAddress))
            return candidate;
    }
}
