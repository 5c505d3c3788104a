// SPDX-License-Identifier: GPL-2.0-or-later
#ifndef HALVEX_DECIMAL_VALUE_H
#define HALVEX_DECIMAL_VALUE_H

#include <climits>
#include <cstdlib>

// The leading decimal number of text, as strtol reads it, saturated to the int range
// rather than wrapped: 4294967297 must not read as 1.
inline int decimal_value(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

#endif
