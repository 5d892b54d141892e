#pragma once

#include "platform/Dialogs.h"
#include "platform/SettingsStore.h"
#include "platform/UdpSocket.h"

#include <QString>
#include <optional>

// The port the UDP socket listens on: binding it at startup and changing it on
// the user's request (F2). All texts are Chinese in both language modes.
class ServicePort {
public:
    ServicePort(ListeningPort& socket, SettingsStore& store, Dialogs& dialogs);

    // Binds the socket to the stored port text. When the text is no port or the
    // port cannot be bound, says so (the port text in front of the message) and
    // asks for another port. True when the socket ends up bound.
    bool bindAtStartup(const QString& portText);

    // Asks for a new port, stores the text as typed and rebinds the socket to
    // it, asking again after an invalid entry or a failed bind. A cancelled or
    // non-numeric entry ends the command and leaves store and socket alone.
    void changeServicePort();

private:
    enum class Outcome { Done, AskAgain };

    Outcome changeOnce();
    // The port a typed value stands for: 0 < value < 65536 and, once rounded,
    // a usable port (1..65535).
    static std::optional<int> portFor(double value);
    void storeTypedText(const QString& typed);
    bool bindTo(int port);
    void reportBusy(const QString& portText);

    ListeningPort& socket_;
    SettingsStore& store_;
    Dialogs& dialogs_;
};
