#include "store/SearchGrams.h"

#include <algorithm>

namespace searchgrams {

namespace {

// Characters a pattern cannot take grams from. LIKE reads a byte the text
// holds outside a valid sequence as a character between U+0080 and U+00BF,
// or as U+FFFD, and looks for U+0080 byte by byte, even inside another
// character; U+FFFE and U+FFFF it reads as U+FFFD. Where a pattern holds
// one of these, the texts it matches need not hold the same character.
bool isUnreliable(char32_t c) { return (c >= 0x80 && c <= 0xBF) || (c >= 0xFFFD && c <= 0xFFFF); }

// Splits the keyword into its runs of literal characters, folded: '%' and
// '_' are wildcards, and LIKE reads a pattern only up to a NUL character.
std::vector<std::u32string> literalRuns(const QString& keyword)
{
    std::vector<std::u32string> runs(1);
    for (const char32_t c : keyword.toStdU32String()) {
        if (c == 0)
            break;
        if (c == U'%' || c == U'_' || isUnreliable(c) || (c >= 0xD800 && c <= 0xDFFF)) {
            if (!runs.back().empty())
                runs.emplace_back();
            continue;
        }
        runs.back().push_back(fold(c));
    }
    return runs;
}

} // namespace

std::vector<Gram> requiredGrams(const QString& keyword)
{
    std::vector<Gram> grams;
    for (const std::u32string& run : literalRuns(keyword)) {
        if (run.size() == 1)
            grams.push_back(unigram(run[0]));
        else if (run.size() == 2)
            grams.push_back(bigram(run[0], run[1]));
        for (std::size_t i = 0; i + 2 < run.size(); ++i)
            grams.push_back(trigram(run[i], run[i + 1], run[i + 2]));
    }
    std::sort(grams.begin(), grams.end());
    grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
    return grams;
}

} // namespace searchgrams
