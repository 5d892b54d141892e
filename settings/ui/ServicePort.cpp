#include "settings/ui/ServicePort.h"

#include "settings/NumericText.h"
#include "settings/SettingsTexts.h"

ServicePort::ServicePort(ListeningPort& socket, SettingsStore& store, Dialogs& dialogs)
    : socket_(socket), store_(store), dialogs_(dialogs)
{
}

bool ServicePort::bindAtStartup(const QString& portText)
{
    const std::optional<qint32> port = toInt32(portText);
    if (!port || !bindTo(*port)) {
        reportBusy(portText);
        changeServicePort();
    }
    return socket_.isBound();
}

void ServicePort::changeServicePort()
{
    while (changeOnce() == Outcome::AskAgain) {
    }
}

ServicePort::Outcome ServicePort::changeOnce()
{
    const QString typed = dialogs_.prompt(settingstexts::portPrompt(), settingstexts::portPromptCaption(),
                                          QString::number(socket_.localPort()));
    const std::optional<double> value = numericValue(typed);
    if (!value) {
        dialogs_.message(settingstexts::portChangeCancelled());
        return Outcome::Done;
    }
    const std::optional<int> port = portFor(*value);
    if (!port) {
        dialogs_.message(settingstexts::portInvalid());
        return Outcome::AskAgain;
    }
    storeTypedText(typed);
    socket_.close();
    if (bindTo(*port))
        return Outcome::Done;
    reportBusy(typed);
    return Outcome::AskAgain;
}

std::optional<int> ServicePort::portFor(double value)
{
    if (!(value > 0.0 && value < 65536.0))
        return std::nullopt;
    const double rounded = roundHalfToEven(value);
    // 0.3 and 65535.5 pass the range test but round to no port at all.
    if (rounded < 1.0 || rounded > 65535.0)
        return std::nullopt;
    return int(rounded);
}

void ServicePort::storeTypedText(const QString& typed)
{
    if (!store_.write(settingstexts::portValueName(), typed))
        dialogs_.message(settingstexts::storeWriteFailed());
}

bool ServicePort::bindTo(int port)
{
    return socket_.setLocalPort(port) && socket_.bind();
}

void ServicePort::reportBusy(const QString& portText)
{
    dialogs_.message(portText + settingstexts::portBusySuffix());
}
