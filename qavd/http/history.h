// history: the last day of answers in buckets of fixed width, for the page's charts.
#ifndef QAVD_HTTP_HISTORY_H
#define QAVD_HTTP_HISTORY_H

#include "battery_status.h"
#include "store.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

/**
 * A ring of the last 24 hours: per bucket the mean of the answers accepted in
 * it (gas gauge, stack voltage, current, lowest and highest cell voltage,
 * hottest layer, heatsink temperature, humidity). A bucket is the poll interval
 * rounded up to whole seconds, but at least 5 s, so the ring holds at most
 * 17,280 buckets; they are allocated once. Stale stretches stay gaps. add() and
 * json() may run on different threads; json() holds the lock only while it
 * copies a few hundred buckets at a time.
 */
class History {
public:
    /**
     * @param interval  The poll interval in seconds.
     * @param batteries How many batteries keep a ring like this one: beyond
     *                  sharedWidth, the buckets widen by one step of the poll's
     *                  width for each further sharedWidth, so a site's rings
     *                  stay within those of sharedWidth batteries.
     */
    explicit History(double interval, std::size_t batteries = 1);

    /**
     * Add an accepted answer to the bucket of its time.
     *
     * @param status The decoded answer.
     * @param time   Seconds since the epoch.
     */
    void add(const BatteryStatus& status, long long time);

    /** The data went stale: the next bucket begins a new stretch. */
    void breakLine();

    /** Add a bucket of the store's finest tier (at start, to show what came before). */
    void restore(const StoreBucket& stored);

    /**
     * The buckets of the last @p seconds up to @p now, oldest first, as JSON:
     * {"bucket_seconds":5,"fields":["time",...],"points":[[time,...],...]}. A
     * point holds the bucket's start time and its means; a point of nulls after
     * the time marks a gap where the data was stale. When that is more than
     * @p points buckets, whole numbers of them are merged into one point, which
     * holds after the means the lowest and then the highest of the buckets'
     * means (fields "NAME_min", "NAME_max"); an empty merged point is a gap.
     *
     * @param seconds How far back; more than a day gives the whole ring.
     * @param now     Seconds since the epoch.
     * @param points  Most points to give; at least 1.
     */
    std::string json(long long seconds, long long now, long long points = 1000000) const;

    /**
     * The store's buckets (Store::scan()) as json() gives the ring's: means, and
     * with @p ranged the lowest and highest answers; a gap where more than
     * @p step seconds lie between two buckets.
     */
    static std::string storeJson(Store& store, long long from, long long to, long long step, bool ranged);

    /** @return The width of a bucket in seconds. */
    int bucketSeconds() const { return width; }
    /** @return How many buckets the ring holds. */
    std::size_t capacity() const { return ring.size(); }

    static constexpr long long span = 86400;          ///< Seconds the ring covers.
    static constexpr std::size_t maxBuckets = 17280;  ///< A day of 5 s buckets.
    static constexpr std::size_t fieldCount = 8;      ///< Values per bucket.
    static constexpr std::size_t sharedWidth = 8;     ///< Batteries whose rings keep the narrowest buckets.

private:
    // The sums of the answers in one bucket, in the units of the answer.
    struct Bucket {
        std::uint32_t index = 0; // time / width of its start
        std::uint16_t count = 0; // 0 while unused
        bool gapBefore = false;
        std::int32_t sums[fieldCount] = {};
    };

    std::size_t copyChunk(std::int64_t first, std::int64_t last, std::vector<Bucket>* out) const;

    int width;
    std::vector<Bucket> ring;
    bool pendingGap = false;
    mutable std::mutex mutex;
};

#endif
