// store: the history on disk (SQLite): answers in three tiers, the outage journal, kept values.
#ifndef QAVD_STORE_H
#define QAVD_STORE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

/** Values recorded per answer, in the answer's units (see History's fields). */
constexpr std::size_t storeFields = 8;

struct BatteryStatus;

/**
 * The values recorded per answer, in the answer's units: gas gauge, stack voltage (the sum of
 * the cells), signed current, lowest and highest cell, hottest layer, heatsink, humidity.
 *
 * @param values Receives storeFields values. Must not be null.
 */
void recordedValues(const BatteryStatus& status, std::int32_t* values);

/** @return The width of the page's buckets: the poll interval rounded up, at least 5 s. */
int bucketWidth(double interval);

/** One bucket of answers: their count, and per value the sum, lowest and highest. */
struct StoreBucket {
    long long time = 0;    ///< Start of the bucket, seconds since the epoch.
    long long count = 0;   ///< Answers in it.
    bool gapBefore = false; ///< The data was stale just before it (the finest tier only).
    std::int64_t sum[storeFields] = {};
    std::int32_t min[storeFields] = {};
    std::int32_t max[storeFields] = {};
};

/** One outage: a stretch of at least --outage-min seconds with the battery discharging. */
struct OutageRecord {
    long long start = 0;      ///< First discharging answer, seconds since the epoch.
    long long end = 0;        ///< Last discharging answer; 0 while the outage goes on.
    long long last = 0;       ///< Last discharging answer seen so far.
    int chargeStart = 0;      ///< Gas gauge at the start, in hundredths of a percent.
    int chargeLowest = 0;     ///< Lowest gas gauge, in hundredths.
    int chargeEnd = 0;        ///< Gas gauge at the last discharging answer, in hundredths.
    double energyWh = 0;      ///< Energy drawn, watt-hours.
    int peakCurrent = 0;      ///< Highest discharge current, hundredths of an ampere (positive).
    bool lowBattery = false;  ///< Low battery was reached.
    bool interrupted = false; ///< qavd was stopped while it went on.
};

/** One capacity measured by a discharge or a charge (see HealthTracker). */
struct CapacityPoint {
    long long time = 0;     ///< When the discharge or charge that measured it ended, seconds since the epoch.
    double ampereHours = 0; ///< The capacity it measured at 100 %.
    double cycles = 0;      ///< Equivalent full cycles at that time.
};

/**
 * The history store: one SQLite file (WAL) that qavd owns, with
 *  - "buckets": the page's buckets (the poll interval rounded up, at least 5 s) for 48 h,
 *  - "minutes": one-minute buckets for 90 days,
 *  - "quarters": fifteen-minute buckets for 5 years,
 *  - "outages": the outage journal, and "kept": small named values (such as a learned capacity),
 *  - "capacity_points": the capacities measured of each battery installed, by its number (see HealthTracker).
 * The poll loop only queues (add(), saveOutage(), setValue()); the store's own thread writes
 * the queue in one transaction as soon as it wakes, at most once a second, so a process that
 * is killed loses at most the last second handed over, and the operating system has every
 * commit. The file is synced only at checkpoints, once a minute or every 100 pages, which
 * bounds what a power cut loses; the write-ahead log is emptied at each. The same thread rolls finished minutes and quarters up and prunes old rows,
 * once a minute. A write that fails (disk full, read-only, corrupt, newer schema) is logged
 * once with its reason and retried; a corrupt file is moved aside as FILE.corrupt-<seconds>
 * and a new one started. Reads run on any thread; two at once take turns on the connection.
 *
 * The file is locked by itself (an open file description lock on the file, so a symlink, a
 * hard link or a bind mount of it is the same file). A file deleted or replaced under the
 * store is noticed within a minute: a deleted one is copied from the descriptor still open
 * on it to a new file at the path, a replaced one is left to whoever put it there, and the
 * store goes on in the file at the path.
 *
 * Steps of the wall clock: roll-ups never stop (marks ahead of the clock after a step back
 * are brought back to it); the pruning horizon moves on by at most what passed on the
 * monotonic clock, and catches up with the wall clock only once a tier's whole span has passed
 * without a step, so no step deletes anything before its time; views end at the time asked;
 * after a step back of more than a day, rows stamped more than a day ahead of the clock are
 * kept aside in tables of their own ("aside_buckets", ...), out of the views and roll-ups.
 */
class Store {
public:
    /** Seconds; the store's wall clock (since the epoch) and its monotonic clock. */
    using Clock = std::function<long long()>;

    /**
     * Take the store's lock (FILE.lock) and open FILE, creating it. A file or lock that cannot
     * be made or written yet is retried later; only a lock another process holds refuses.
     *
     * @param path    The database file.
     * @param bucket  Seconds per bucket of the finest tier.
     * @param problem Receives "history FILE is in use by another qavd (PID N)" when the lock
     *                is held. Must not be null.
     * @param clock   The wall clock; the system's by default.
     * @param steady  The monotonic clock; the system's by default, @p clock itself when only
     *                that is given.
     * @return The running store, or null when another process holds the lock.
     */
    static std::unique_ptr<Store> open(const std::string& path, int bucket, std::string* problem,
                                       Clock clock = nullptr, Clock steady = nullptr);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /** Queue an answer's values (storeFields of them) at @p time; @p gapBefore after stale data. */
    void add(long long time, const std::int32_t* values, bool gapBefore);
    /** Queue the outage record keyed by its start, replacing an earlier one of the same start. */
    void saveOutage(const OutageRecord& record);
    /** Queue a named value to keep (at most 64 bytes of name, 4096 of value). */
    void setValue(const std::string& name, const std::string& value);
    /**
     * Queue a named value that changes with every answer: @p make gives its text (as for
     * setValue()) on the store's thread, so the poll loop only hands over what it is made from.
     * Such values are made and written at most every 10 s, and at every flush() and at the
     * end: the newest @p make of a name waits in the queue until then.
     */
    void setValueLater(const std::string& name, std::function<std::string()> make);
    /** Queue a capacity measured of battery number @p battery (0 for the first the store follows). */
    void addCapacityPoint(long long battery, const CapacityPoint& point);
    /** @return The capacities measured of battery number @p battery, oldest first. */
    std::vector<CapacityPoint> capacityPoints(long long battery);
    /** @return A kept value, the one queued last when not yet written; nothing when unknown. */
    std::optional<std::string> value(const std::string& name);

    /**
     * Visit the buckets from @p from to @p to, oldest first, from the finest tier that reaches
     * back to @p from (and the finer ones for what it does not hold yet), merged to @p step
     * seconds when coarser than the tier. Holds the connection meanwhile.
     */
    void scan(long long from, long long to, long long step, const std::function<void(const StoreBucket&)>& visit);
    /** @return What scan() visits, in a vector. */
    std::vector<StoreBucket> buckets(long long from, long long to, long long step);
    /**
     * @return The width of the tier a scan() reaching back @p seconds reads: the finest
     *         that reaches back so far, or a coarser one whose buckets fit in @p step.
     */
    int widthFor(long long seconds, long long step = 0) const;
    /**
     * @return The last @p limit outages, newest first (the one going on, too), leaving out
     *         those that start more than a day ahead of the clock.
     */
    std::vector<OutageRecord> outages(std::size_t limit);

    /** Write what is queued and roll up now; wait until done (tests, and the last write at exit). */
    void flush();
    /** @return The file's path. */
    const std::string& path() const { return file; }

    static constexpr long long fineKept = 48 * 3600;           ///< Seconds of the finest tier kept.
    static constexpr long long minutesKept = 90 * 86400;       ///< Seconds of one-minute buckets kept.
    static constexpr long long quartersKept = 5 * 365 * 86400; ///< Seconds of fifteen-minute buckets kept.
    static constexpr int schemaVersion = 1;                    ///< PRAGMA user_version of this store.
    static constexpr std::size_t queueLimit = 4096;            ///< Answers kept while writes fail.
    static constexpr long long aheadKept = 86400;              ///< Seconds ahead of the clock still shown.

private:
    Store(std::string path, int bucket, Clock clock, Clock steady, int lockFd);
    struct Queue;
    void run();
    static int tierFor(long long seconds, long long step);
    bool ensureOpen();
    bool create();
    void close();
    bool write(Queue& batch);
    bool writeBatch(Queue& taken, long long at, long long ticks, bool forced);
    void requeue(Queue& taken);
    void rollUp(long long at);
    long long pruneBefore(long long at, long long kept);
    int keepAside(long long at);
    void followClock(long long at, long long ticks);
    bool lockedIsAtPath();
    bool relock();
    void checkFile();
    void failed(int code, const std::string& what);
    void moveAside();

    const std::string file;
    const int width;
    const Clock now, steady;
    int lock; // the file itself, locked while running; below 0 until it could be taken
    std::mutex dbMutex;      // the connection, used by the thread and the readers
    sqlite3* db = nullptr;
    std::map<std::string, sqlite3_stmt*> prepared; // statements of every batch, kept for the next
    std::mutex queueMutex;   // the queue and the flags below
    std::condition_variable wake, done;
    std::unique_ptr<Queue> queue;
    std::uint64_t handed = 0, written = 0; // batches taken in and written (or given up)
    bool stopping = false, flushing = false;
    // Of the thread alone.
    std::string failure;     // the reason writes fail now; empty while they work
    long long lost = 0;      // answers lost in this episode
    long long nextRetry = 0, nextRollUp = 0, nextCheckpoint = 0, nextFileCheck = 0, nextLater = 0;
    // The clocks at the last roll-up, the pruning horizon, and when the wall clock last stepped.
    bool clockSeen = false;
    long long lastWall = 0, lastSteady = 0, horizon = 0, steppedAt = 0, stepBack = 0;
    std::thread thread;
};

#endif
