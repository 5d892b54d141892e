#pragma once

// What must hold for the text of any datagram, whatever its bytes: shared by
// the seeded random test and the libFuzzer target. The expected values are
// worked out here independently of the functions under test.

#include "intake/MessageText.h"

#include <string>
#include <string_view>

inline std::u16string_view utf16View(const QString& text)
{
    return {reinterpret_cast<const char16_t*>(text.constData()), size_t(text.size())};
}

// An empty string when every invariant holds, else the first one broken.
inline std::string datagramInvariantFailure(DatagramDecoder& decoder, const QByteArray& bytes)
{
    constexpr auto npos = std::u16string_view::npos;
    const QString text = decoder.decode(bytes);
    const std::u16string_view view = utf16View(text);

    if (view.find(u'\0') != npos)
        return "the decoded text contains U+0000";
    if (text.isEmpty() != bytes.isEmpty())
        return "a non-empty datagram decoded to no text (or an empty one to some)";
    // The end of the datagram is never dropped: text ending in an ASCII
    // character ends with the datagram's last byte.
    if (!text.isEmpty() && view.back() < 0x80 && view.back() != static_cast<unsigned char>(bytes.back()))
        return "the end of the datagram was dropped";
    if (text != decodeDatagram(bytes))
        return "the decoded text depends on the datagrams decoded before";

    bool ascii = true;
    for (const char byte : bytes)
        ascii = ascii && static_cast<unsigned char>(byte) < 0x80;
    if (ascii) {
        std::u16string expected(bytes.begin(), bytes.end());
        for (char16_t& unit : expected)
            unit = unit == u'\0' ? u'\u2400' : unit;
        if (view != expected)
            return "an ASCII datagram did not decode character for character";
    }

    const bool hasWord = view.find(u"info") != npos || view.find(u"error") != npos
        || view.find(u"warning") != npos;
    if (isValidMessage(text) != hasWord)
        return "the message filter disagrees with the presence of info/error/warning";

    const QString trimmed = trimmedMessage(text);
    const std::u16string_view trimmedView = utf16View(trimmed);
    if (trimmedView.size() > view.size() || view.substr(view.size() - trimmedView.size()) != trimmedView)
        return "the trimmed message is not a suffix of the text";
    const size_t blank = view.find(u' ');
    if (trimmedView != (blank == npos ? view : view.substr(blank + 1)))
        return "the trimmed message is not the text after its first blank (or the whole text without one)";

    const bool fits = trimmed.size() >= 3 && trimmed.size() <= 65534;
    if (fitsLengthWindow(trimmed) != fits)
        return "the length window disagrees with 3..65534 characters";
    return {};
}
