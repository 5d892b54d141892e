#pragma once

#include <QtGlobal>
#include <limits>

// Adds one to a 32-bit counter that stops at its largest value instead of
// overflowing.
inline void incrementSaturating(qint32& counter)
{
    if (counter < std::numeric_limits<qint32>::max())
        ++counter;
}
