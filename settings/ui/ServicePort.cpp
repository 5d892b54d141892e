#include "settings/ui/ServicePort.h"

#include "settings/NumericText.h"
#include "settings/SettingsTexts.h"

ServicePort::ServicePort(PortControl socket, SettingsStore& store, Dialogs& dialogs)
    : socket_(std::move(socket)), store_(store), dialogs_(dialogs)
{
}

void ServicePort::bindAtStartup(const QString& portText, Done done)
{
    if (const std::optional<qint32> port = toInt32(portText))
        bindOrAskAgain(*port, portText, std::move(done));
    else
        askAgain(portText, std::move(done));
}

// Invalid entries are asked for again here; a failed bind asks again once the
// receiver has answered.
void ServicePort::changeServicePort(Done done)
{
    for (;;) {
        const QString typed = dialogs_.prompt(settingstexts::portPrompt(), settingstexts::portPromptCaption(),
                                              QString::number(socket_.localPort()));
        const std::optional<double> value = numericValue(typed);
        if (!value) {
            dialogs_.message(settingstexts::portChangeCancelled());
            break;
        }
        const std::optional<int> port = portFor(*value);
        if (!port) {
            dialogs_.message(settingstexts::portInvalid());
            continue;
        }
        storeTypedText(typed);
        socket_.close();
        bindOrAskAgain(*port, typed, std::move(done));
        return;
    }
    if (done)
        done();
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

void ServicePort::bindOrAskAgain(int port, const QString& portText, Done done)
{
    socket_.bind(port, [this, portText, done = std::move(done)](PortControl::BindResult result) mutable {
        if (result == PortControl::BindResult::Failed)
            askAgain(portText, std::move(done));
        else if (done)
            done();
    });
}

void ServicePort::askAgain(const QString& portText, Done done)
{
    dialogs_.message(portText + settingstexts::portBusySuffix());
    changeServicePort(std::move(done));
}
