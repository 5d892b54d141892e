#pragma once

#include "platform/Dialogs.h"
#include "platform/SettingsStore.h"

#include <QString>
#include <functional>
#include <optional>

// What the port commands need of the receiver's port. Binding answers later:
// done gets NoAnswer when the receiver could not be asked or went away first.
struct PortControl {
    enum class BindResult { Bound, Failed, NoAnswer };
    std::function<int()> localPort;
    std::function<void()> close;
    std::function<void(int port, std::function<void(BindResult)> done)> bind;
};

// The port the receiver listens on: binding it at startup and changing it on
// the user's request (F2). All texts are Chinese in both language modes.
// Each command goes on when the receiver answers and calls done at its end.
class ServicePort {
public:
    using Done = std::function<void()>;

    ServicePort(PortControl socket, SettingsStore& store, Dialogs& dialogs);

    // Binds to the stored port text. When the text is no port or the port
    // cannot be bound, says so (the port text in front of the message) and
    // asks for another port.
    void bindAtStartup(const QString& portText, Done done);

    // Asks for a new port, stores the text as typed and rebinds to it, asking
    // again after an invalid entry or a failed bind. A cancelled or
    // non-numeric entry ends the command and leaves store and socket alone.
    void changeServicePort(Done done = {});

private:
    // The port a typed value stands for: 0 < value < 65536 and, once rounded,
    // a usable port (1..65535).
    static std::optional<int> portFor(double value);
    void storeTypedText(const QString& typed);
    // Binds to the port; when it cannot be bound, asks again.
    void bindOrAskAgain(int port, const QString& portText, Done done);
    // Says the port text cannot be used (it in front of the message) and asks for another port.
    void askAgain(const QString& portText, Done done);

    PortControl socket_;
    SettingsStore& store_;
    Dialogs& dialogs_;
};
