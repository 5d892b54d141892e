#include "tests/intake/DatagramInvariants.h"

#include <gtest/gtest.h>
#include <random>

namespace {

using Random = std::mt19937;

int below(Random& random, int n)
{
    return std::uniform_int_distribution<int>(0, n - 1)(random);
}

void appendUtf8(QByteArray& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// One piece of a datagram; kinds below 5 are ASCII, below 7 valid UTF-8.
void appendPiece(QByteArray& out, Random& random, int kinds, int longestRun)
{
    static const char* const words[] = {"info", "error", "warning", "INFO", "inf", "warn", "erro", "Error"};
    static const char* const lineBreaks[] = {"\r", "\n", "\r\n", "\t"};
    switch (below(random, kinds)) {
    case 0: out += words[below(random, 8)]; break;
    case 1: {
        const int length = 1 + below(random, longestRun);
        const int first = below(random, 94);
        for (int i = 0; i < length; ++i)
            out += char('!' + (first + i * 7) % 94);
        break;
    }
    case 2: out += QByteArray(1 + below(random, 3), ' '); break;
    case 3: out += lineBreaks[below(random, 4)]; break;
    case 4: out += QByteArray(1 + below(random, 2), '\0'); break;
    case 5: {
        const char32_t ranges[][2] = {{0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
        const auto& range = ranges[below(random, 4)];
        appendUtf8(out, range[0] + char32_t(below(random, int(range[1] - range[0] + 1))));
        break;
    }
    case 6: appendUtf8(out, below(random, 2) ? U'\u2400' : U'\uFFFD'); break;
    case 7: { // broken UTF-8: stray continuation, overlong, surrogate, cut-off sequence, bytes never valid
        static const QByteArray broken[] = {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xED\xA0\x80", "\xE6\x8E",
                                            "\xF0\x9F", "\xF5", "\xFE", "\xFF"};
        out += broken[below(random, 10)];
        break;
    }
    default: { // GB18030: two-byte and four-byte sequences, and a lone lead byte
        const char lead = char(0x81 + below(random, 126));
        const int form = below(random, 3);
        out += lead;
        if (form == 0)
            out += char(0x40 + below(random, 191));
        else if (form == 1)
            for (const int low : {0x30, 0x81, 0x30})
                out += char(low + below(random, low == 0x30 ? 10 : 126));
        break;
    }
    }
}

QByteArray randomDatagram(Random& random)
{
    const int mode = below(random, 100);
    if (mode < 3) {
        // A message right at the edge of the longest one kept.
        QByteArray bytes = "<13>host" + QByteArray(below(random, 2), ' ');
        bytes += QByteArray(kLongestMessage - 4 + below(random, 8), 'x');
        if (below(random, 2))
            bytes.insert(below(random, int(bytes.size())), below(random, 2) ? "info" : "\xE6\x8E\xA5");
        return bytes;
    }
    const int size = mode < 8 ? below(random, 70001) : below(random, 400);
    const int kinds = mode < 50 ? 5 : mode < 75 ? 7 : 9;
    const int longestRun = std::max(20, size / 40);
    QByteArray bytes;
    bytes.reserve(size + 8);
    while (bytes.size() < size)
        appendPiece(bytes, random, kinds, longestRun);
    bytes.truncate(size);
    return bytes;
}

} // namespace

TEST(DatagramFuzz, RandomDatagramsKeepEveryTextInvariant)
{
    Random random(20261207);
    DatagramDecoder decoder;
    int accepted = 0, rejected = 0, withNul = 0, fitting = 0, tooLong = 0;
    for (int i = 0; i < 2000; ++i) {
        const QByteArray bytes = randomDatagram(random);
        const std::string failure = datagramInvariantFailure(decoder, bytes);
        ASSERT_EQ(failure, "") << "datagram " << i << " of " << bytes.size() << " bytes, starting "
                               << bytes.left(120).toHex(' ').constData();
        const QString text = decoder.decode(bytes);
        (isValidMessage(text) ? accepted : rejected) += 1;
        withNul += bytes.contains('\0');
        fitting += fitsLengthWindow(trimmedMessage(text));
        tooLong += trimmedMessage(text).size() > kLongestMessage;
    }
    // The inputs reach every side of every check.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(rejected, 100);
    EXPECT_GT(withNul, 100);
    EXPECT_GT(fitting, 100);
    EXPECT_GT(tooLong, 10);
}
