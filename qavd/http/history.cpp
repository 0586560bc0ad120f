// history: the last day of answers in buckets of fixed width, for the page's charts.
#include "history.h"

#include "store.h"

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

namespace {

// Writes the JSON of json() and storeJson() point by point.
class PointWriter {
public:
    PointWriter(long long step, bool ranged, std::size_t expected)
        : range(ranged), out("{\"bucket_seconds\":" + std::to_string(step) + ",\"fields\":[\"time\"")
    {
        for (const char* suffix : {"", "_min", "_max"}) {
            if (*suffix != '\0' && !ranged) break;
            for (const Field& field : fields) out += std::string(",\"") + field.name + suffix + '"';
        }
        out += "],\"points\":[";
        out.reserve(out.size() + expected * (ranged ? 160 : 56));
    }
    // A point of nulls at time: the data was stale.
    void gap(long long time)
    {
        out += '[' + std::to_string(time);
        for (std::size_t i = 0; i < (range ? 3 : 1) * History::fieldCount; i++) out += ",null";
        out += "],";
    }
    // A point: the means, and the lowest and highest when ranged, in the answer's units.
    void point(long long time, const double* means, const double* lowest, const double* highest)
    {
        out += '[' + std::to_string(time);
        for (const double* values : {means, lowest, highest}) {
            if (values != means && !range) break;
            for (std::size_t i = 0; i < History::fieldCount; i++) {
                out += ',';
                appendNumber(out, values[i] / fields[i].scale, fields[i].decimals);
            }
        }
        out += "],";
    }
    std::string finish()
    {
        if (out.back() == ',') out.pop_back();
        out += "]}";
        return std::move(out);
    }

private:
    bool range;
    std::string out;
};

// Hands the ring's buckets to a PointWriter as they are, or merged a fixed number at a time.
class BucketMerger {
public:
    BucketMerger(PointWriter& to, long long groupBuckets, int bucketSeconds)
        : out(to), group(groupBuckets), width(bucketSeconds)
    {
    }
    // The next bucket, in order: its index (time / width), answers, sums, and whether stale data came before it.
    void add(long long index, long long count, const std::int32_t* sums, bool gapBefore)
    {
        if (group == 1) {
            if (gapBefore && previous >= 0 && index > previous + 1) out.gap((previous + 1) * width);
            for (std::size_t i = 0; i < History::fieldCount; i++) means[i] = sums[i] / static_cast<double>(count);
            out.point(index * width, means, nullptr, nullptr);
            previous = index;
            return;
        }
        if (index / group != current) {
            finish();
            current = index / group;
        }
        for (std::size_t i = 0; i < History::fieldCount; i++) {
            double mean = sums[i] / static_cast<double>(count);
            lowest[i] = total == 0 ? mean : std::min(lowest[i], mean);
            highest[i] = total == 0 ? mean : std::max(highest[i], mean);
            sum[i] = (total == 0 ? 0 : sum[i]) + sums[i];
        }
        total += count;
    }
    // Write the group being merged; a gap before it when a whole group was empty.
    void finish()
    {
        if (total == 0) return;
        if (previous >= 0 && current > previous + 1) out.gap((previous + 1) * group * width);
        for (std::size_t i = 0; i < History::fieldCount; i++) means[i] = sum[i] / static_cast<double>(total);
        out.point(current * group * width, means, lowest, highest);
        previous = current;
        total = 0;
    }

private:
    PointWriter& out;
    long long group, width;
    long long previous = -1; // the last bucket written, or group when merged
    long long current = -1, total = 0;
    double sum[History::fieldCount] = {}, lowest[History::fieldCount] = {}, highest[History::fieldCount] = {},
           means[History::fieldCount] = {};
};

} // namespace

History::History(double interval, std::size_t batteries)
    : width(bucketWidth(interval) * static_cast<int>((std::max<std::size_t>(batteries, 1) + sharedWidth - 1) / sharedWidth)),
      ring(std::min<std::size_t>(maxBuckets, static_cast<std::size_t>((span + width - 1) / width)))
{
}

void History::add(const BatteryStatus& status, long long time)
{
    if (time < 0 || time / width > std::numeric_limits<std::uint32_t>::max()) return;
    auto index = static_cast<std::uint32_t>(time / width);
    std::int32_t values[fieldCount];
    recordedValues(status, values);
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

void History::restore(const StoreBucket& stored)
{
    if (stored.time < 0 || stored.time / width > std::numeric_limits<std::uint32_t>::max() || stored.count <= 0) return;
    auto index = static_cast<std::uint32_t>(stored.time / width);
    std::lock_guard<std::mutex> lock(mutex);
    Bucket& bucket = ring[index % ring.size()];
    if (bucket.count == 0 || bucket.index != index) {
        bucket = Bucket{};
        bucket.index = index;
        bucket.gapBefore = stored.gapBefore;
    }
    if (bucket.count + stored.count > maxPerBucket) return;
    for (std::size_t i = 0; i < fieldCount; i++) bucket.sums[i] += static_cast<std::int32_t>(stored.sum[i]);
    bucket.count = static_cast<std::uint16_t>(bucket.count + stored.count);
}

std::string History::json(long long seconds, long long now, long long points) const
{
    auto wanted = std::min<long long>((std::max(seconds, 0LL) + width - 1) / width, static_cast<long long>(ring.size()));
    long long group = std::max(1LL, (wanted + std::max(points, 1LL) - 1) / std::max(points, 1LL));
    PointWriter writer(group * width, group > 1, static_cast<std::size_t>(std::min(wanted / group + 1, 20000LL)));
    BucketMerger merger(writer, group, width);
    std::int64_t last = std::max(now, 0LL) / width;
    std::vector<Bucket> chunk;
    chunk.reserve(chunkSize);
    for (std::int64_t first = last - wanted + 1; first <= last; first += chunkSize) {
        copyChunk(first, std::min(last, first + chunkSize - 1), &chunk);
        for (const Bucket& bucket : chunk) merger.add(bucket.index, bucket.count, bucket.sums, bucket.gapBefore);
    }
    merger.finish();
    return writer.finish();
}

std::string History::storeJson(Store& store, long long from, long long to, long long step, bool ranged)
{
    PointWriter writer(step, ranged, static_cast<std::size_t>(std::min((to - from) / step + 1, 20000LL)));
    long long previous = -1;
    double means[fieldCount], lowest[fieldCount], highest[fieldCount];
    store.scan(from, to, step, [&](const StoreBucket& b) {
        if (b.count <= 0) return;
        if (previous >= 0 && b.time > previous + step) writer.gap(previous + step);
        for (std::size_t i = 0; i < fieldCount; i++) {
            means[i] = static_cast<double>(b.sum[i]) / static_cast<double>(b.count);
            lowest[i] = b.min[i];
            highest[i] = b.max[i];
        }
        writer.point(b.time, means, lowest, highest);
        previous = b.time;
    });
    return writer.finish();
}
