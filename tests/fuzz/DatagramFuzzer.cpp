// libFuzzer target: any bytes, taken as one datagram, must keep the
// invariants of decoding, filtering and trimming (see DatagramInvariants.h).
#include "tests/intake/DatagramInvariants.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
    return 0;
}
