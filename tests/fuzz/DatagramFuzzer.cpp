// libFuzzer target: any bytes, taken as one datagram, must keep the
// invariants of decoding, filtering and trimming (see DatagramInvariants.h)
// and of reading its syslog header (see SyslogParserInvariants.h), and read
// after the inputs before it, it must give the fields it gives alone.
#include "tests/intake/DatagramInvariants.h"
#include "tests/net/SyslogParserInvariants.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static DatagramDecoder decoder;
    // No copy and no terminating NUL: a read past the datagram is caught.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::string failure = datagramInvariantFailure(decoder, bytes);
    if (!failure.empty()) {
        std::fprintf(stderr, "Datagram invariant broken: %s\n", failure.c_str());
        std::abort();
    }
    // The decoded text as the parser gets it, copied to a block of exactly
    // its size: a read past its end is caught.
    const QString text = decoder.decode(bytes);
    const auto exact = std::make_unique<char16_t[]>(size_t(text.size()));
    std::copy_n(text.utf16(), text.size(), exact.get());
    const std::string headerFailure = syslogHeaderInvariantFailure(QStringView(exact.get(), text.size()));
    if (!headerFailure.empty()) {
        std::fprintf(stderr, "Syslog header invariant broken: %s\n", headerFailure.c_str());
        std::abort();
    }
    // Read after the inputs before it (which share much of it, as the
    // fuzzer makes one input from another), a message gives the fields it
    // gives alone.
    static FieldReader reader;
    static const QDateTime arrival(QDate(2026, 12, 7), QTime(12, 0, 30));
    if (!(reader.read(text, SyslogArrival::of(arrival)) == readFields(text, arrival))) {
        std::fprintf(stderr, "Fields read after the message before differ from those read alone\n");
        std::abort();
    }
    return 0;
}
