// util: a millisecond sleep and a hexadecimal text parser.
#include "util.h"

#include <cerrno>
#include <ctime>

void msleep(int ms)
{
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // A signal cuts a sleep short; sleep on for what it left.
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
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
