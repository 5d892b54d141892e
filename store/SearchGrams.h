#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

// The character n-grams of the search index, taken exactly as the store's
// LIKE sees characters: the text decoded from UTF-8, ASCII letters folded to
// lower case and nothing else folded.
//
// A gram is a key of one, two or three consecutive characters. A text that
// matches a LIKE pattern contains every gram requiredGrams() takes from that
// pattern, so the blocks of rows that hold all of them are the only ones the
// pattern can match in.
namespace searchgrams {

using Gram = std::int64_t;

// The key of the blocks that must always be read: rows whose text is not
// valid UTF-8, whose characters the store may read otherwise than here.
inline constexpr Gram kAlwaysRead = 0;

// Character keys: the code point plus one, so that every key of a real gram is
// above kAlwaysRead. Unigrams stay below 2^21, bigrams below 2^42, trigrams above.
inline Gram unigram(char32_t a) { return Gram(a) + 1; }
inline Gram bigram(char32_t a, char32_t b) { return (unigram(a) << 21) | unigram(b); }
inline Gram trigram(char32_t a, char32_t b, char32_t c) { return (bigram(a, b) << 21) | unigram(c); }

// ASCII letters to lower case, as the store's LIKE compares them.
inline char32_t fold(char32_t c) { return c >= U'A' && c <= U'Z' ? c + (U'a' - U'A') : c; }

// Hands every gram of a text (its UTF-8 bytes) to sink, repeats included.
// Returns false, having handed over nothing reliable, when the bytes are not
// valid UTF-8; the caller then has to read the row whatever the pattern.
template <typename Sink>
bool forEachGram(const unsigned char* bytes, std::size_t size, Sink&& sink);

// The grams every text matching LIKE '%' + keyword + '%' contains. Empty when
// the keyword gives none (only wildcards, say): then any row can match.
std::vector<Gram> requiredGrams(const QString& keyword);

// Decodes one character of valid UTF-8 at bytes[i], advancing i; returns
// false for bytes that are not valid UTF-8 (overlong forms, surrogates,
// values above U+10FFFF, a sequence cut short).
inline bool decodeUtf8(const unsigned char* bytes, std::size_t size, std::size_t& i, char32_t& out)
{
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
        out = lead;
        ++i;
        return true;
    }
    int length;
    char32_t c;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        return false;
    }
    if (i + std::size_t(length) > size)
        return false;
    for (int k = 1; k < length; ++k) {
        const unsigned char next = bytes[i + std::size_t(k)];
        if ((next & 0xC0) != 0x80)
            return false;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    out = c;
    i += std::size_t(length);
    return true;
}

template <typename Sink>
bool forEachGram(const unsigned char* bytes, std::size_t size, Sink&& sink)
{
    char32_t previous2 = 0;
    char32_t previous1 = 0;
    int seen = 0;
    std::size_t i = 0;
    while (i < size) {
        char32_t c;
        if (!decodeUtf8(bytes, size, i, c))
            return false;
        c = fold(c);
        sink(unigram(c));
        if (seen >= 1)
            sink(bigram(previous1, c));
        if (seen >= 2)
            sink(trigram(previous2, previous1, c));
        previous2 = previous1;
        previous1 = c;
        ++seen;
    }
    return true;
}

} // namespace searchgrams
