// history: the last day of answers in buckets of fixed width, for the page's charts.
#include "history.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>

namespace {

// One recorded value: its name in JSON, the divisor from the answer's units, and decimals.
struct Field {
    const char* name;
    double scale;
    int decimals;
};

const Field fields[History::fieldCount] = {
    {"gas_gauge_percent", 100, 2},       {"stack_voltage_volts", 1000, 3},
    {"current_amperes", 100, 2},         {"lowest_cell_volts", 1000, 3},
    {"highest_cell_volts", 1000, 3},     {"hottest_layer_celsius", 1, 1},
    {"heatsink_temperature_celsius", 1, 1}, {"relative_humidity_percent", 1, 1},
};

// Answers beyond this many in one bucket (a clock set back) are left out, so no sum overflows.
constexpr std::uint16_t maxPerBucket = 1000;
// Buckets copied under the lock at a time while the JSON is written.
constexpr std::int64_t chunkSize = 512;

// The recorded values of an answer, in the answer's units and the order of fields.
void valuesOf(const BatteryStatus& s, std::int32_t* values)
{
    auto [lowest, highest] = std::minmax_element(std::begin(s.cellVoltage), std::end(s.cellVoltage));
    values[0] = s.gasGauge;
    values[1] = std::accumulate(std::begin(s.cellVoltage), std::end(s.cellVoltage), 0);
    values[2] = static_cast<std::int16_t>(s.current & 0xFFFF);
    values[3] = *lowest;
    values[4] = *highest;
    values[5] = *std::max_element(s.temperature, s.temperature + 8);
    values[6] = s.temperature[8];
    values[7] = s.humidity;
}

// Append value with at most decimals places, trailing zeros left out ("26.4", not "26.400").
void appendNumber(std::string& out, double value, int decimals)
{
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    if (decimals > 0) {
        while (end[-1] == '0') end--;
        if (end[-1] == '.') end--;
    }
    std::string_view number(text, static_cast<std::size_t>(end - text));
    out += number == "-0" ? "0" : number;
}

} // namespace

History::History(double interval)
    : width(std::max(5, static_cast<int>(std::ceil(std::min(interval, static_cast<double>(span)))))),
      ring(std::min<std::size_t>(maxBuckets, static_cast<std::size_t>((span + width - 1) / width)))
{
}

void History::add(const BatteryStatus& status, long long time)
{
    if (time < 0 || time / width > std::numeric_limits<std::uint32_t>::max()) return;
    auto index = static_cast<std::uint32_t>(time / width);
    std::int32_t values[fieldCount];
    valuesOf(status, values);
    std::lock_guard<std::mutex> lock(mutex);
    Bucket& bucket = ring[index % ring.size()];
    if (bucket.count == 0 || bucket.index != index) {
        bucket = Bucket{};
        bucket.index = index;
        bucket.gapBefore = pendingGap;
    }
    // A stale stretch shorter than a bucket is lost in the bucket's mean.
    pendingGap = false;
    if (bucket.count == maxPerBucket) return;
    for (std::size_t i = 0; i < fieldCount; i++) bucket.sums[i] += values[i];
    bucket.count++;
}

void History::breakLine()
{
    std::lock_guard<std::mutex> lock(mutex);
    pendingGap = true;
}

// Copy the used buckets of indices first to last into out, under the lock; their count.
std::size_t History::copyChunk(std::int64_t first, std::int64_t last, std::vector<Bucket>* out) const
{
    out->clear();
    std::lock_guard<std::mutex> lock(mutex);
    for (std::int64_t index = std::max<std::int64_t>(first, 0); index <= last; index++) {
        const Bucket& bucket = ring[static_cast<std::size_t>(index) % ring.size()];
        if (bucket.count > 0 && bucket.index == index) out->push_back(bucket);
    }
    return out->size();
}

std::string History::json(long long seconds, long long now) const
{
    std::string out = "{\"bucket_seconds\":" + std::to_string(width) + ",\"fields\":[\"time\"";
    for (const Field& field : fields) out += std::string(",\"") + field.name + '"';
    out += "],\"points\":[";
    auto wanted = std::min<long long>((std::max(seconds, 0LL) + width - 1) / width, static_cast<long long>(ring.size()));
    std::int64_t last = std::max(now, 0LL) / width;
    std::int64_t previous = -1;
    std::vector<Bucket> chunk;
    chunk.reserve(chunkSize);
    out.reserve(out.size() + static_cast<std::size_t>(wanted) * 56);
    for (std::int64_t first = last - wanted + 1; first <= last; first += chunkSize) {
        copyChunk(first, std::min(last, first + chunkSize - 1), &chunk);
        for (const Bucket& bucket : chunk) {
            if (bucket.gapBefore && previous >= 0 && bucket.index > previous + 1) {
                out += '[' + std::to_string((previous + 1) * width);
                for (std::size_t i = 0; i < fieldCount; i++) out += ",null";
                out += "],";
            }
            out += '[' + std::to_string(static_cast<long long>(bucket.index) * width);
            for (std::size_t i = 0; i < fieldCount; i++) {
                out += ',';
                appendNumber(out, bucket.sums[i] / (fields[i].scale * bucket.count), fields[i].decimals);
            }
            out += "],";
            previous = bucket.index;
        }
    }
    if (out.back() == ',') out.pop_back();
    out += "]}";
    return out;
}
