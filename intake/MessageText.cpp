#include "MessageText.h"

namespace {

constexpr auto kStateless = QStringConverter::Flag::Stateless;

} // namespace

DatagramDecoder::DatagramDecoder()
    : utf8_(QStringConverter::Utf8, kStateless)
    , fallback_("GB18030", kStateless)
{
}

QString DatagramDecoder::decode(const QByteArray& bytes)
{
    utf8_.resetState();
    QString text = utf8_.decode(bytes);
    if (!utf8_.hasError())
        return text;
    return decodeFallback(bytes);
}

QString DatagramDecoder::decodeFallback(const QByteArray& bytes)
{
    if (!fallback_.isValid())
        return QString::fromLatin1(bytes);
    fallback_.resetState();
    return fallback_.decode(bytes);
}

QString decodeDatagram(const QByteArray& bytes)
{
    DatagramDecoder decoder;
    return decoder.decode(bytes);
}

bool IsValidMessage(const QString& text)
{
    return text.contains(QLatin1StringView("info"))
        || text.contains(QLatin1StringView("error"))
        || text.contains(QLatin1StringView("warning"));
}

QString trimmedMessage(const QString& text)
{
    const qsizetype blank = text.indexOf(QLatin1Char(' '));
    return blank < 0 ? text : text.mid(blank + 1);
}
