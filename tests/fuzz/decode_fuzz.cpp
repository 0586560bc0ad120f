// Fuzz target: the decoder against the C library's own formatted scan, field by field.
#include "battery_status.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The answer's fields in order, with their widths: the reference the decoder must match.
const int widths[] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 4, 4, 4};
const int fieldCount = sizeof widths / sizeof widths[0];

// Reference decode: sscanf at a cursor that moves a whole field unless nothing converted.
void referenceDecode(const char* text, int fields[])
{
    const char* cursor = text;
    for (int i = 0; i < fieldCount; i++) {
        unsigned value = 0;
        int result = std::sscanf(cursor, widths[i] == 4 ? "%4x" : "%2x", &value);
        if (result == 0) continue;
        if (result == 1) fields[i] = static_cast<int>(value);
        cursor += widths[i];
    }
}

// The decoder's fields in the same order.
void flatten(const BatteryStatus& status, int fields[])
{
    int n = 0;
    fields[n++] = status.gasGauge;
    for (int v : status.cellVoltage) fields[n++] = v;
    fields[n++] = status.current;
    for (int t : status.temperature) fields[n++] = t;
    fields[n++] = status.humidity;
    fields[n++] = status.balanceRegister;
    fields[n++] = status.tempAlertRegister;
    fields[n++] = status.voltAlertRegister;
    fields[n++] = status.statusRegister;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Two answers in a row, so that kept values from the first are checked too.
    BatteryStatus status{};
    int expected[fieldCount] = {};
    for (std::size_t offset = 0; offset < 2 * 77; offset += 77) {
        char answer[80] = {}; // as the receive buffer: cleared, 77 bytes, zeros after
        if (offset < size) std::memcpy(answer, data + offset, size - offset < 77 ? size - offset : 77);
        decodeStatus(answer, 77, &status);
        referenceDecode(answer, expected);
        int got[fieldCount];
        flatten(status, got);
        if (std::memcmp(got, expected, sizeof got) != 0) std::abort();
    }
    return 0;
}
