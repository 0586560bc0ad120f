// util: a millisecond sleep and a hexadecimal text parser.
#include "util.h"

#include <unistd.h>

// Longest single usleep(): POSIX lets usleep() refuse a full second or more.
static const int maxSliceMs = 999;

void msleep(int ms)
{
    while (ms > 0) {
        int slice = ms < maxSliceMs ? ms : maxSliceMs;
        usleep(static_cast<useconds_t>(slice) * 1000U);
        ms -= slice;
    }
}

// Value of one hex digit, or -1 when c is not one (bytes 0x80 and up never are).
static int hexDigit(signed char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int ahextoi(const char* text)
{
    // Unsigned arithmetic wraps modulo 2^32 without undefined behaviour.
    unsigned value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        int digit = hexDigit(static_cast<signed char>(*p));
        if (digit < 0) break;
        value = value * 16U + static_cast<unsigned>(digit);
    }
    return static_cast<int>(value);
}
