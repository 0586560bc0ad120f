// Fuzz target: the decoder against a reading of the answer written independently of it, character by character.
#include "battery_status.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The answer's fields in order, with their widths in characters: the gauge, eight layer
// voltages and the current; eight layer temperatures, the heatsink, humidity and balance;
// the temperature alert, voltage alert and status registers.
const int widths[] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 4, 4, 4};
const int fieldCount = sizeof widths / sizeof widths[0];

// What one hexadecimal conversion of a width found at a place in the text.
enum class Found { number, noNumber, endOfText };

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of a hex digit, or -1.
int digitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Read a hex number of at most width characters at text[at], the text ending at its first
// zero byte: blanks before it are passed over and not counted; then a sign may come, then
// "0x" or "0X" may follow a leading 0, then digits, all within the width. A sign and
// nothing more is no number; only blanks up to the end is the end of the text.
Found readHex(const char* text, int at, int width, unsigned* value)
{
    while (isBlank(text[at])) at++;
    if (text[at] == '\0') return Found::endOfText;
    bool negative = false;
    if (text[at] == '+' || text[at] == '-') {
        negative = text[at] == '-';
        at++;
        width--;
    }
    unsigned magnitude = 0;
    int digits = 0;
    if (width > 0 && text[at] == '0') {
        at++;
        width--;
        digits++;
        if (width > 0 && (text[at] == 'x' || text[at] == 'X')) {
            at++;
            width--;
        }
    }
    for (; width > 0 && digitValue(text[at]) >= 0; at++, width--, digits++)
        magnitude = magnitude * 16 + static_cast<unsigned>(digitValue(text[at]));
    if (digits == 0) return Found::noNumber;
    *value = negative ? 0U - magnitude : magnitude;
    return Found::number;
}

// Reference decode: a number sets its field and moves the cursor a whole field on; the end
// of the text moves it too and keeps the field; no number keeps both.
void referenceDecode(const char* text, int fields[])
{
    int cursor = 0;
    for (int i = 0; i < fieldCount; i++) {
        unsigned value = 0;
        Found found = readHex(text, cursor, widths[i], &value);
        if (found == Found::noNumber) continue;
        if (found == Found::number) fields[i] = static_cast<int>(value);
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
