// store: the history on disk (SQLite): answers in three tiers, the outage journal, kept values.
#include "store.h"

#include "battery_status.h"
#include "clock.h"
#include "output.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The recorded values' column names, in the order of the values.
const char* const fieldNames[storeFields] = {"gauge",  "stack",   "current",  "low_cell",
                                             "high_cell", "hottest", "heatsink", "humidity"};
// The tiers: table, and the width of its buckets (0: the page's).
const char* const tierTables[3] = {"buckets", "minutes", "quarters"};
// Answers may reach the store this long after their time; later roll-ups wait for them.
constexpr long long settle = 10;
// Seconds between retries after a failure, between roll-ups, and between checkpoints.
constexpr long long retryEvery = 10, rollUpEvery = 60, checkpointEvery = 60, laterEvery = 10;
// The page cache of the connection, in KiB. Small: writes touch a few pages, and what the
// views read comes from the system's file cache; the store adds at most 1.5 MiB to qavd.
constexpr int cacheKib = 128;

// The values of one answer, queued for the disk.
struct Sample {
    long long time;
    std::int32_t values[storeFields];
    bool gapBefore;
};

// The columns of a tier after its key: count, gap, then sum, min, max per value.
std::string valueColumns(const char* prefix = "")
{
    std::string out = std::string(prefix) + "count, " + prefix + "gap";
    for (const char* name : fieldNames)
        for (const char* part : {"_sum", "_min", "_max"}) out += std::string(", ") + prefix + name + part;
    return out;
}

// The columns merged over a group: count and sums added, lowest and highest kept.
std::string mergedColumns()
{
    std::string out = "sum(count), max(gap)";
    for (const char* name : fieldNames)
        out += std::string(", sum(") + name + "_sum), min(" + name + "_min), max(" + name + "_max)";
    return out;
}

// Seconds since the epoch on the system's clock.
long long systemSeconds()
{
    return static_cast<long long>(std::time(nullptr));
}

// Seconds on the system's monotonic clock.
long long steadySeconds()
{
    return static_cast<long long>(monotonicSeconds());
}

// A prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql)
    {
        code = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    }
    // The same, borrowed from the statements a connection keeps prepared (and given back after),
    // for those run with every batch: preparing one costs more than running it. One already
    // borrowed is prepared afresh, and finalized after.
    Statement(sqlite3* db, const std::string& sql, std::map<std::string, sqlite3_stmt*>* keptPrepared)
    {
        auto [found, added] = keptPrepared->try_emplace(sql, nullptr);
        if (found->second != nullptr) {
            stmt = std::exchange(found->second, nullptr);
            slot = found;
            kept = keptPrepared;
            return;
        }
        code = sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (added) {
            slot = found;
            kept = keptPrepared;
        }
    }
    ~Statement()
    {
        // One that failed is finalized; one that ran, to its end or to a row, is kept.
        if (kept == nullptr || stmt == nullptr || (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE)) {
            sqlite3_finalize(stmt);
            return;
        }
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        slot->second = stmt;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement& bind(int index, long long value)
    {
        if (code == SQLITE_OK) code = sqlite3_bind_int64(stmt, index, value);
        return *this;
    }
    Statement& bind(int index, double value)
    {
        if (code == SQLITE_OK) code = sqlite3_bind_double(stmt, index, value);
        return *this;
    }
    Statement& bind(int index, const std::string& value)
    {
        if (code == SQLITE_OK) code = sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bindNull(int index)
    {
        if (code == SQLITE_OK) code = sqlite3_bind_null(stmt, index);
        return *this;
    }
    // Run to the end, or take the next row; SQLITE_ROW, SQLITE_DONE or an error.
    int step()
    {
        if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE) return code;
        code = sqlite3_step(stmt);
        return code;
    }
    // Run once and make it ready to run again; SQLITE_DONE or an error.
    int run()
    {
        int result = step();
        if (result == SQLITE_ROW) result = SQLITE_DONE;
        sqlite3_reset(stmt);
        if (result == SQLITE_DONE) code = SQLITE_OK;
        return result;
    }
    long long integer(int column) const { return sqlite3_column_int64(stmt, column); }
    double real(int column) const { return sqlite3_column_double(stmt, column); }
    std::string text(int column) const
    {
        const unsigned char* bytes = sqlite3_column_text(stmt, column);
        return bytes != nullptr ? std::string(reinterpret_cast<const char*>(bytes)) : std::string();
    }
    bool isNull(int column) const { return sqlite3_column_type(stmt, column) == SQLITE_NULL; }

private:
    sqlite3_stmt* stmt = nullptr;
    int code = SQLITE_OK;
    std::map<std::string, sqlite3_stmt*>* kept = nullptr; // where it goes back to, if anywhere
    std::map<std::string, sqlite3_stmt*>::iterator slot;  // its place there
};

// Run SQL without results; SQLite's result code.
int execute(sqlite3* db, const std::string& sql)
{
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

// Run one statement without results from those a connection keeps prepared; SQLITE_OK or an error.
int executeKept(sqlite3* db, const std::string& sql, std::map<std::string, sqlite3_stmt*>* prepared)
{
    int code = Statement(db, sql, prepared).run();
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

// The bucket at the current row of a query of time and valueColumns().
StoreBucket bucketAt(const Statement& row)
{
    StoreBucket bucket;
    bucket.time = row.integer(0);
    bucket.count = row.integer(1);
    bucket.gapBefore = row.integer(2) != 0;
    for (std::size_t i = 0; i < storeFields; i++) {
        int column = 3 + static_cast<int>(i) * 3;
        bucket.sum[i] = row.integer(column);
        bucket.min[i] = static_cast<std::int32_t>(row.integer(column + 1));
        bucket.max[i] = static_cast<std::int32_t>(row.integer(column + 2));
    }
    return bucket;
}

// Add a bucket's answers to another's: counts and sums added, the lowest and highest kept.
void mergeInto(StoreBucket& into, const StoreBucket& more)
{
    into.count += more.count;
    into.gapBefore = into.gapBefore || more.gapBefore;
    for (std::size_t i = 0; i < storeFields; i++) {
        into.sum[i] += more.sum[i];
        into.min[i] = std::min(into.min[i], more.min[i]);
        into.max[i] = std::max(into.max[i], more.max[i]);
    }
}

// A failure that means the file is not a sound database of ours.
bool corrupt(int code)
{
    return (code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB;
}

// The store's lock: an open file description lock on one byte of the database far beyond
// anything SQLite locks or writes, so that it belongs to the file (not its path) and neither
// SQLite's own locks nor another descriptor's close in this process touch it. Beside it the
// holder takes a read lock on the byte lockByte + 1 + its PID, as such locks name no process.
constexpr off_t lockByte = static_cast<off_t>(1) << 62;
constexpr off_t pidBytes = static_cast<off_t>(1) << 32;

// Lock the open file fd for this process; false with *holder the PID of another holder
// (0 when it cannot be told), or with errno set when it cannot be locked at all.
bool lockFile(int fd, pid_t* holder)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = lockByte;
    lock.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        int why = errno;
        struct flock other {};
        other.l_type = F_WRLCK;
        other.l_whence = SEEK_SET;
        other.l_start = lockByte + 1;
        other.l_len = pidBytes;
        *holder = fcntl(fd, F_OFD_GETLK, &other) == 0 && other.l_type != F_UNLCK
                      ? static_cast<pid_t>(other.l_start - lockByte - 1) : 0;
        errno = why;
        return false;
    }
    struct flock named = lock;
    named.l_type = F_RDLCK;
    named.l_start = lockByte + 1 + getpid();
    return fcntl(fd, F_OFD_SETLK, &named) == 0;
}

// Whether a lock failed because another holds it (and not for want of locks or support).
bool heldByOther(int error)
{
    return error == EAGAIN || error == EACCES;
}

// Open FILE (making it when new) and lock it; -1 when another process holds it (its PID in
// *holder), -2 when it cannot be opened or locked (errno says why; a directory not yet
// writable: nothing can be written there yet).
int takeLock(const std::string& path, pid_t* holder)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -2;
    if (lockFile(fd, holder)) return fd;
    int why = errno;
    ::close(fd);
    errno = why;
    return heldByOther(why) ? -1 : -2;
}

// Copy what the open file from holds into the open file to, from the start; false (errno set) on failure.
bool copyFile(int from, int to)
{
    char block[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t got = pread(from, block, sizeof block, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0 && fsync(to) == 0;
        for (ssize_t put = 0; put < got;) {
            ssize_t n = pwrite(to, block + put, static_cast<std::size_t>(got - put), offset + put);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            put += n;
        }
        offset += got;
    }
}

} // namespace

void recordedValues(const BatteryStatus& s, std::int32_t* values)
{
    CellRange cells = cellRange(&s);
    values[0] = s.gasGauge;
    values[1] = static_cast<std::int32_t>(std::lround(stackVoltage(&s) * 1000));
    values[2] = static_cast<std::int32_t>(std::lround(currentAmperes(&s) * 100));
    values[3] = cells.lowest;
    values[4] = cells.highest;
    values[5] = *std::max_element(s.temperature, s.temperature + 8);
    values[6] = s.temperature[8];
    values[7] = s.humidity;
}

int bucketWidth(double interval)
{
    return std::max(5, static_cast<int>(std::ceil(std::min(interval, 86400.0))));
}

struct Store::Queue {
    std::vector<Sample> answers;
    std::map<long long, OutageRecord> outages;
    std::map<std::string, std::string> values;
    std::map<std::string, std::function<std::string()>> later; // values made when written
    std::vector<std::pair<long long, CapacityPoint>> points;    // by battery number
    long long dropped = 0; // answers left out because the queue was full
    bool empty() const { return answers.empty() && outages.empty() && values.empty() && later.empty() && points.empty(); }
};

std::unique_ptr<Store> Store::open(const std::string& path, int bucket, std::string* problem, Clock clock, Clock steady)
{
    pid_t holder = 0;
    int lock = takeLock(path, &holder);
    if (lock == -1) {
        *problem = "history " + path + " is in use by another qavd (PID " + std::to_string(holder) + ")";
        return nullptr;
    }
    // A clock of the caller's own is its own monotonic clock too, unless it gives one.
    if (!steady) steady = clock ? clock : Clock(steadySeconds);
    if (!clock) clock = systemSeconds;
    std::unique_ptr<Store> store(new Store(path, bucket, std::move(clock), std::move(steady), lock));
    {
        std::lock_guard<std::mutex> guard(store->dbMutex);
        store->ensureOpen();
    }
    store->thread = std::thread([s = store.get()] { s->run(); });
    return store;
}

Store::Store(std::string path, int bucket, Clock clock, Clock steadyClock, int lockFd)
    : file(std::move(path)), width(bucket), now(std::move(clock)), steady(std::move(steadyClock)), lock(lockFd),
      queue(std::make_unique<Queue>())
{
}

Store::~Store()
{
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
    close();
    if (lock >= 0) ::close(lock);
}

void Store::add(long long time, const std::int32_t* values, bool gapBefore)
{
    Sample answer{time, {}, gapBefore};
    std::copy(values, values + storeFields, answer.values);
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        if (queue->answers.size() >= queueLimit) {
            queue->answers.erase(queue->answers.begin());
            queue->dropped++;
        }
        queue->answers.push_back(answer);
    }
    wake.notify_one();
}

void Store::saveOutage(const OutageRecord& record)
{
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        queue->outages[record.start] = record;
    }
    wake.notify_one();
}

void Store::setValue(const std::string& name, const std::string& value)
{
    if (name.size() > 64 || value.size() > 4096) return;
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        queue->values[name] = value;
    }
    wake.notify_one();
}

void Store::setValueLater(const std::string& name, std::function<std::string()> make)
{
    if (name.size() > 64) return;
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        queue->later[name] = std::move(make);
    }
    wake.notify_one();
}

void Store::addCapacityPoint(long long battery, const CapacityPoint& point)
{
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        // A queue that cannot be written keeps the newest points within its limit.
        if (queue->points.size() >= queueLimit) queue->points.erase(queue->points.begin());
        queue->points.emplace_back(battery, point);
    }
    wake.notify_one();
}

std::vector<CapacityPoint> Store::capacityPoints(long long battery)
{
    std::vector<CapacityPoint> out;
    {
        std::lock_guard<std::mutex> guard(dbMutex);
        if (db != nullptr) {
            Statement query(db, "SELECT time, ampere_hours, cycles FROM capacity_points WHERE battery = ?1 ORDER BY time");
            query.bind(1, battery);
            while (query.step() == SQLITE_ROW) out.push_back({query.integer(0), query.real(1), query.real(2)});
        }
    }
    std::lock_guard<std::mutex> guard(queueMutex);
    for (const auto& [date, point] : queue->points)
        if (date == battery && (out.empty() || point.time > out.back().time)) out.push_back(point);
    return out;
}

std::optional<std::string> Store::value(const std::string& name)
{
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        if (auto later = queue->later.find(name); later != queue->later.end()) return later->second();
        auto queued = queue->values.find(name);
        if (queued != queue->values.end()) return queued->second;
    }
    std::lock_guard<std::mutex> guard(dbMutex);
    if (db == nullptr) return std::nullopt;
    Statement query(db, "SELECT value FROM kept WHERE name = ?1");
    if (query.bind(1, name).step() != SQLITE_ROW) return std::nullopt;
    return query.text(0);
}

void Store::flush()
{
    std::unique_lock<std::mutex> guard(queueMutex);
    std::uint64_t target = handed + 1;
    flushing = true;
    wake.notify_one();
    done.wait(guard, [&] { return written >= target || stopping; });
}

// The store's thread: write the queue as it fills, at most once a second (values made on
// writing every 10 s); roll up and checkpoint once a minute; retry after a failure.
void Store::run()
{
    using Steady = std::chrono::steady_clock;
    Steady::time_point lastWrite{};
    std::unique_lock<std::mutex> guard(queueMutex);
    for (;;) {
        wake.wait_for(guard, std::chrono::seconds(1), [&] { return stopping || flushing || !queue->empty(); });
        wake.wait_until(guard, lastWrite + std::chrono::seconds(1), [&] { return stopping || flushing; });
        bool forced = flushing || stopping;
        flushing = false;
        std::uint64_t batch = ++handed;
        Queue taken;
        std::swap(taken, *queue);
        // Read with the queue taken, so that a roll-up never ends past an answer still queued.
        // What is done when goes by the monotonic clock, which steps of the wall clock leave alone.
        const long long at = now(), ticks = steady();
        // Values made on writing wait in the queue until they are due.
        if (!forced && ticks < nextLater) std::swap(taken.later, queue->later);
        else if (!taken.later.empty()) nextLater = ticks + laterEvery;
        guard.unlock();
        lastWrite = Steady::now();
        followClock(at, ticks);
        bool ok = writeBatch(taken, at, ticks, forced);
        guard.lock();
        if (!ok) requeue(taken);
        written = batch;
        done.notify_all();
        // What came while the last batch was written is written before the thread ends.
        if (stopping && (queue->empty() || !ok)) return;
    }
}

// Write a batch taken from the queue at wall time at (monotonic ticks), with the file check, the
// roll-up and the checkpoint when they are due (all of them when forced); false when it was not written.
bool Store::writeBatch(Queue& taken, long long at, long long ticks, bool forced)
{
    std::lock_guard<std::mutex> dbGuard(dbMutex);
    if (db != nullptr && (ticks >= nextFileCheck || forced)) {
        checkFile();
        nextFileCheck = ticks + rollUpEvery;
    }
    bool ok = (ticks >= nextRetry || forced) && ensureOpen() && write(taken);
    if (ok && (ticks >= nextRollUp || forced)) {
        rollUp(at);
        nextRollUp = ticks + rollUpEvery;
        // What SQLite freed goes back to the system rather than stay in this thread's arena.
        malloc_trim(0);
    }
    if (ok && db != nullptr && ticks >= nextCheckpoint) {
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        nextCheckpoint = ticks + checkpointEvery;
    }
    return ok;
}

// Put a batch that was not written back in front of what was queued meanwhile, within the limit.
void Store::requeue(Queue& taken)
{
    taken.answers.insert(taken.answers.end(), queue->answers.begin(), queue->answers.end());
    for (auto& [start, record] : queue->outages) taken.outages[start] = record;
    for (auto& [name, text] : queue->values) taken.values[name] = text;
    for (auto& [name, make] : queue->later) taken.later[name] = std::move(make);
    taken.points.insert(taken.points.end(), queue->points.begin(), queue->points.end());
    if (taken.points.size() > queueLimit)
        taken.points.erase(taken.points.begin(), taken.points.begin() + static_cast<long>(taken.points.size() - queueLimit));
    if (taken.answers.size() > queueLimit) {
        std::size_t extra = taken.answers.size() - queueLimit;
        taken.dropped += static_cast<long long>(extra);
        taken.answers.erase(taken.answers.begin(), taken.answers.begin() + static_cast<long>(extra));
    }
    taken.dropped += queue->dropped;
    std::swap(taken, *queue);
}

// Open the file and check its schema, creating it when new; false (reported) when it cannot be used.
bool Store::ensureOpen()
{
    if (db != nullptr) return true;
    // The lock goes with the file at the path: a lock that could not be made at start (a
    // directory not yet writable), or one on a file moved, replaced or deleted since, is taken anew.
    if (lock >= 0 && !lockedIsAtPath() && !relock()) return false;
    if (lock < 0) {
        pid_t holder = 0;
        lock = takeLock(file, &holder);
        if (lock == -1) failed(SQLITE_OK, "is in use by another qavd (PID " + std::to_string(holder) + ")");
        else if (lock < 0) failed(SQLITE_OK, "cannot be locked: " + std::string(std::strerror(errno)));
        if (lock < 0) return false;
    }
    int code = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code != SQLITE_OK) {
        failed(code, "cannot open");
        return false;
    }
    sqlite3_extended_result_codes(db, 1);
    // No lookaside memory: it would stay resident for a few allocations a second.
    sqlite3_db_config(db, SQLITE_DBCONFIG_LOOKASIDE, nullptr, 0, 0);
    sqlite3_busy_timeout(db, 1000);
    long long found = 0;
    {
        Statement version(db, "PRAGMA user_version");
        code = version.step();
        found = version.integer(0);
    }
    if (code != SQLITE_ROW) {
        failed(code, "cannot read");
        return false;
    }
    if (found > schemaVersion) {
        failed(SQLITE_OK, "has schema version " + std::to_string(found) + ", newer than this qavd's " +
                              std::to_string(schemaVersion) + "; it is left as it is, and");
        return false;
    }
    std::string pragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-" +
                          std::to_string(cacheKib) + "; PRAGMA wal_autocheckpoint=100; PRAGMA journal_size_limit=0;";
    code = execute(db, pragmas);
    if (code == SQLITE_OK && found < schemaVersion && !create()) return false;
    // The tables of rows kept aside, which an older qavd leaves alone.
    for (const char* table : tierTables)
        if (code == SQLITE_OK)
            code = execute(db, std::string("CREATE TABLE IF NOT EXISTS aside_") + table + " AS SELECT * FROM " + table + " WHERE 0");
    if (code == SQLITE_OK) code = execute(db, "CREATE TABLE IF NOT EXISTS aside_outages AS SELECT * FROM outages WHERE 0");
    // Measured capacities came after the first schema; an older qavd leaves the table alone.
    if (code == SQLITE_OK)
        code = execute(db, "CREATE TABLE IF NOT EXISTS capacity_points (battery INTEGER NOT NULL, time INTEGER NOT NULL,"
                           " ampere_hours REAL NOT NULL, cycles REAL NOT NULL, PRIMARY KEY (battery, time))");
    if (code != SQLITE_OK) {
        failed(code, "cannot set up");
        return false;
    }
    return true;
}

// Create the tables of a new file, or upgrade an older one, in one transaction.
bool Store::create()
{
    std::string sql = "BEGIN IMMEDIATE;";
    for (const char* table : tierTables)
        sql += std::string("CREATE TABLE IF NOT EXISTS ") + table + " (time INTEGER PRIMARY KEY, " +
               valueColumns() + ");";
    sql += "CREATE TABLE IF NOT EXISTS outages (start INTEGER PRIMARY KEY, end INTEGER, last INTEGER NOT NULL,"
           " charge_start INTEGER, charge_lowest INTEGER, charge_end INTEGER, energy_wh REAL,"
           " peak_current INTEGER, low_battery INTEGER, interrupted INTEGER);"
           "CREATE TABLE IF NOT EXISTS kept (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
           "PRAGMA user_version=" + std::to_string(schemaVersion) + ";COMMIT;";
    int code = execute(db, sql);
    if (code != SQLITE_OK) {
        execute(db, "ROLLBACK");
        failed(code, "cannot create tables in");
        return false;
    }
    return true;
}

void Store::close()
{
    if (db == nullptr) return;
    for (auto& [sql, stmt] : prepared) sqlite3_finalize(stmt);
    prepared.clear();
    sqlite3_close_v2(db);
    db = nullptr;
}

// Whether the file locked is the one at the path (its device and inode).
bool Store::lockedIsAtPath()
{
    struct stat held {}, at {};
    return fstat(lock, &held) == 0 && ::stat(file.c_str(), &at) == 0 && held.st_dev == at.st_dev &&
           held.st_ino == at.st_ino;
}

// With the connection closed, leave a locked file that is no longer at the path: one deleted
// is first copied to a new file there, locked in its place; false (reported) when that failed.
bool Store::relock()
{
    struct stat held {};
    bool deleted = fstat(lock, &held) == 0 && held.st_nlink == 0 && ::access(file.c_str(), F_OK) != 0;
    if (!deleted) {
        ::close(lock);
        lock = -1;
        return true;
    }
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, held.st_mode & 0777);
    pid_t holder = 0;
    if (fd < 0 || !lockFile(fd, &holder) || !copyFile(lock, fd)) {
        std::string why = std::strerror(errno);
        if (fd >= 0) {
            ::unlink(file.c_str());
            ::close(fd);
        }
        failed(SQLITE_OK, "was deleted and what it held cannot be copied to a new one yet: " + why + ";");
        return false;
    }
    ::close(lock);
    lock = fd;
    return true;
}

// Once a minute: a file deleted or replaced under the store is left for the one at the path.
void Store::checkFile()
{
    if (lockedIsAtPath()) return;
    struct stat held {};
    bool deleted = fstat(lock, &held) == 0 && held.st_nlink == 0;
    logMessage(LOG_WARNING, "history " + file + (deleted ? " was deleted" : " was replaced or moved") +
                                " under this qavd; a new one is started at that path" +
                                (deleted ? " with what it held" : ""));
    // Everything into the old file before the connection goes, so that a copy holds it all.
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    close();
    nextRetry = 0;
}

namespace {

// The statement that adds an answer to its bucket: ?1 the bucket's time, ?2 the gap, ?3... the values.
std::string upsertSql()
{
    std::string sql = "INSERT INTO buckets (time, ";
    sql += valueColumns();
    sql += ") VALUES (?1, 1, ?2";
    for (std::size_t i = 0; i < storeFields; i++)
        for (int part = 0; part < 3; part++) sql += ", ?" + std::to_string(3 + i);
    sql += ") ON CONFLICT(time) DO UPDATE SET count = count + 1";
    // Sums add up; the lowest and highest are kept.
    for (const char* name : fieldNames) {
        const std::string sum = std::string(name) + "_sum", low = std::string(name) + "_min",
                          high = std::string(name) + "_max";
        sql.append(", ").append(sum).append(" = ").append(sum).append(" + excluded.").append(sum);
        sql.append(", ").append(low).append(" = min(").append(low).append(", excluded.").append(low).append(")");
        sql.append(", ").append(high).append(" = max(").append(high).append(", excluded.").append(high).append(")");
    }
    return sql;
}

// Whether a statement's result lets the transaction go on.
bool going(int code)
{
    return code == SQLITE_OK || code == SQLITE_DONE;
}

// Write the outages of a batch; SQLite's last result code.
int writeOutages(sqlite3* db, const std::map<long long, OutageRecord>& outages, std::map<std::string, sqlite3_stmt*>* prepared)
{
    Statement outage(db, "INSERT OR REPLACE INTO outages VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)", prepared);
    int code = SQLITE_OK;
    for (auto it = outages.begin(); it != outages.end() && going(code); ++it) {
        const OutageRecord& r = it->second;
        outage.bind(1, r.start).bind(3, r.last).bind(4, static_cast<long long>(r.chargeStart))
            .bind(5, static_cast<long long>(r.chargeLowest)).bind(6, static_cast<long long>(r.chargeEnd))
            .bind(7, r.energyWh).bind(8, static_cast<long long>(r.peakCurrent))
            .bind(9, static_cast<long long>(r.lowBattery)).bind(10, static_cast<long long>(r.interrupted));
        // No end while it goes on.
        r.end != 0 ? outage.bind(2, r.end) : outage.bindNull(2);
        code = outage.run();
    }
    return code;
}

// Write the capacity points of a batch; SQLite's last result code.
int writePoints(sqlite3* db, const std::vector<std::pair<long long, CapacityPoint>>& points,
                std::map<std::string, sqlite3_stmt*>* prepared)
{
    Statement insert(db, "INSERT OR REPLACE INTO capacity_points VALUES (?1, ?2, ?3, ?4)", prepared);
    int code = SQLITE_OK;
    for (auto it = points.begin(); it != points.end() && going(code); ++it)
        code = insert.bind(1, it->first).bind(2, it->second.time).bind(3, it->second.ampereHours)
                   .bind(4, it->second.cycles).run();
    return code;
}

// Write the kept values of a batch; SQLite's last result code.
int writeValues(sqlite3* db, const std::map<std::string, std::string>& values, std::map<std::string, sqlite3_stmt*>* prepared)
{
    Statement kept(db, "INSERT OR REPLACE INTO kept VALUES (?1, ?2)", prepared);
    int code = SQLITE_OK;
    for (auto it = values.begin(); it != values.end() && going(code); ++it) code = kept.bind(1, it->first).bind(2, it->second).run();
    return code;
}

} // namespace

// Write one batch in one transaction; false (reported) when it failed.
bool Store::write(Queue& batch)
{
    if (batch.empty()) return true;
    static const std::string upsert = upsertSql();
    int code = executeKept(db, "BEGIN IMMEDIATE", &prepared);
    {
        Statement answer(db, upsert, &prepared);
        for (auto a = batch.answers.begin(); a != batch.answers.end() && going(code); ++a) {
            answer.bind(1, a->time / width * width).bind(2, static_cast<long long>(a->gapBefore));
            for (std::size_t i = 0; i < storeFields; i++) answer.bind(static_cast<int>(3 + i), static_cast<long long>(a->values[i]));
            code = answer.run();
        }
    }
    if (going(code)) code = writeOutages(db, batch.outages, &prepared);
    if (going(code)) code = writePoints(db, batch.points, &prepared);
    // Values made now are kept made, so a batch written again after a failure writes the same.
    for (auto& [name, make] : batch.later)
        if (std::string text = make(); text.size() <= 4096) batch.values[name] = std::move(text);
    batch.later.clear();
    if (going(code)) code = writeValues(db, batch.values, &prepared);
    if (going(code)) code = executeKept(db, "COMMIT", &prepared);
    if (code != SQLITE_OK) {
        execute(db, "ROLLBACK");
        failed(code, "cannot be written");
        return false;
    }
    lost += batch.dropped;
    if (!failure.empty()) {
        logMessage(LOG_NOTICE, "history " + file + " is written again; " + std::to_string(lost) +
                                   (lost == 1 ? " answer was" : " answers were") + " lost");
        failure.clear();
        lost = 0;
    }
    return true;
}

// Roll minutes finished by time at up from the buckets and finished quarters from the
// minutes, then prune every tier and the journal to what it keeps.
void Store::rollUp(long long at)
{
    struct Step {
        const char* from;
        const char* to;
        long long width;
        const char* mark;
    };
    const Step steps[] = {{"buckets", "minutes", 60, "rolled_minutes"}, {"minutes", "quarters", 900, "rolled_quarters"}};
    int code = executeKept(db, "BEGIN IMMEDIATE", &prepared);
    for (const Step& s : steps) {
        if (code != SQLITE_OK) break;
        long long end = (at - settle) / s.width * s.width;
        // From the last roll-up's end (one bucket before, for answers that came late); a mark
        // ahead of the clock (it stepped back) is brought back to it.
        long long begin = end - fineKept;
        Statement mark(db, std::string("SELECT value FROM kept WHERE name = '") + s.mark + "'", &prepared);
        if (mark.step() == SQLITE_ROW) begin = std::min(std::atoll(mark.text(0).c_str()), end) - s.width;
        if (begin >= end) continue;
        Statement roll(db, std::string("INSERT OR REPLACE INTO ") + s.to + " SELECT time / ?1 * ?1, " + mergedColumns() +
                               " FROM " + s.from + " WHERE time >= ?2 AND time < ?3 GROUP BY time / ?1",
                       &prepared);
        code = roll.bind(1, s.width).bind(2, begin).bind(3, end).run();
        if (code == SQLITE_DONE) {
            Statement save(db, std::string("INSERT OR REPLACE INTO kept VALUES ('") + s.mark + "', ?1)", &prepared);
            code = save.bind(1, std::to_string(end)).run();
        }
        if (code == SQLITE_DONE) code = SQLITE_OK;
    }
    if (code == SQLITE_OK) code = keepAside(at);
    const std::pair<const char*, long long> prunes[] = {
        {"DELETE FROM buckets WHERE time < ?1", fineKept}, {"DELETE FROM minutes WHERE time < ?1", minutesKept},
        {"DELETE FROM quarters WHERE time < ?1", quartersKept}, {"DELETE FROM outages WHERE last < ?1", quartersKept}};
    for (const auto& [sql, kept] : prunes) {
        if (code != SQLITE_OK) break;
        Statement prune(db, sql, &prepared);
        code = prune.bind(1, pruneBefore(at, kept)).run();
        if (code == SQLITE_DONE) code = SQLITE_OK;
    }
    if (code == SQLITE_OK) code = executeKept(db, "COMMIT", &prepared);
    if (code != SQLITE_OK) {
        execute(db, "ROLLBACK");
        failed(code, "cannot be rolled up");
    }
}

// Follow the wall clock at each batch: a step of more than 2 s against the monotonic clock is
// noted, and the pruning horizon moves on by at most what passed on the monotonic clock.
void Store::followClock(long long at, long long ticks)
{
    if (!clockSeen) {
        clockSeen = true;
        horizon = at;
        steppedAt = ticks - quartersKept; // no step yet
    } else {
        long long passed = std::max(0LL, ticks - lastSteady), step = (at - lastWall) - passed;
        // A step rolls up at once, so that marks ahead of the clock come back to it.
        if (std::llabs(step) > 2) {
            steppedAt = ticks;
            nextRollUp = 0;
        }
        if (step < -aheadKept) stepBack = step;
        horizon = std::min(at, horizon + passed);
    }
    lastWall = at;
    lastSteady = ticks;
}

// Rows of a tier that keeps kept seconds are pruned before this time: by the wall clock once
// that whole span passed without a step, else by the horizon, which no step moves early.
long long Store::pruneBefore(long long at, long long kept)
{
    return (lastSteady - steppedAt >= kept ? at : horizon) - kept;
}

// After a step back of more than a day, move rows stamped more than a day ahead of the clock
// (written while it was ahead) to the tables aside; SQLite's last result code.
int Store::keepAside(long long at)
{
    if (stepBack == 0) return SQLITE_OK;
    int code = SQLITE_OK;
    long long moved = 0;
    for (const char* table : {"buckets", "minutes", "quarters", "outages"}) {
        const std::string key = std::string(table) == "outages" ? "start" : "time";
        for (const char* sql : {"INSERT INTO aside_%s SELECT * FROM %s WHERE %s > ?1", "DELETE FROM %s WHERE %s > ?1"}) {
            if (code != SQLITE_OK) break;
            char text[128];
            if (sql[0] == 'I') std::snprintf(text, sizeof text, sql, table, table, key.c_str());
            else std::snprintf(text, sizeof text, sql, table, key.c_str());
            Statement move(db, text);
            code = move.bind(1, at + aheadKept).run();
            if (code == SQLITE_DONE) code = SQLITE_OK;
            if (code == SQLITE_OK && sql[0] == 'D') moved += sqlite3_changes(db);
        }
    }
    if (code != SQLITE_OK) return code;
    logMessage(LOG_NOTICE, "history " + file + ": the clock stepped " + clockStepText(static_cast<double>(stepBack)) +
                               "; " + std::to_string(moved) + " rows stamped more than a day ahead of it are kept aside");
    stepBack = 0;
    return code;
}

// Report a failure once per episode; move a corrupt file aside, and try again later.
void Store::failed(int code, const std::string& what)
{
    std::string reason = code == SQLITE_OK ? "" : std::string(": ") + sqlite3_errstr(code);
    int primary = code & 0xFF;
    if (primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY) {
        // The system's own word on it (a read-only file system, a missing directory).
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) reason += std::string(" (") + std::strerror(errno) + ")";
        else ::close(fd);
    } else if (db != nullptr && code != SQLITE_OK) {
        int extended = sqlite3_extended_errcode(db);
        if ((extended & 0xFF) == primary) code = extended;
        if (sqlite3_system_errno(db) != 0) reason += std::string(" (") + std::strerror(sqlite3_system_errno(db)) + ")";
    }
    nextRetry = steady() + retryEvery;
    if (corrupt(code)) {
        close();
        // The lock goes with the file moved aside; the new file is locked when it is opened.
        if (lock >= 0) ::close(lock);
        lock = -1;
        moveAside();
        return;
    }
    // A full disk needs no new connection; anything else (a file replaced, a
    // directory made read-only) may.
    if ((code & 0xFF) != SQLITE_FULL) close();
    std::string message = "history " + file + " " + what + reason;
    if (failure == message) return;
    failure = message;
    logMessage(LOG_WARNING, message + "; answers are kept in memory (at most " + std::to_string(queueLimit) +
                                ") until it can be written");
}

// Move a corrupt file (and its journal) aside as FILE.corrupt-<seconds>, to start anew at once.
void Store::moveAside()
{
    std::string aside = file + ".corrupt-" + std::to_string(now());
    bool moved = std::rename(file.c_str(), aside.c_str()) == 0;
    std::string why = moved ? "" : std::strerror(errno);
    for (const char* suffix : {"-wal", "-shm"}) {
        if (moved) {
            std::rename((file + suffix).c_str(), (aside + suffix).c_str());
        } else {
            std::remove((file + suffix).c_str());
        }
    }
    if (!moved) {
        failure = "history " + file + " is corrupt and cannot be moved aside: " + why;
        logMessage(LOG_WARNING, failure);
        return;
    }
    logMessage(LOG_WARNING, "history " + file + " is corrupt: moved aside as " + aside + "; a new one is started");
    nextRetry = 0;
    if (ensureOpen() && !failure.empty()) {
        logMessage(LOG_NOTICE, "history " + file + " is written again");
        failure.clear();
    }
}

// The tier to read: 0 the buckets, 1 the minutes, 2 the quarters.
int Store::tierFor(long long seconds, long long step)
{
    int tier = seconds <= fineKept ? 0 : seconds <= minutesKept ? 1 : 2;
    // A coarser tier serves as well when points are at least as wide as its buckets.
    while (tier < 2 && step >= (tier == 0 ? 60 : 900)) tier++;
    return tier;
}

int Store::widthFor(long long seconds, long long step) const
{
    const int widths[3] = {width, 60, 900};
    return widths[tierFor(seconds, step)];
}

void Store::scan(long long from, long long to, long long step, const std::function<void(const StoreBucket&)>& visit)
{
    int tier = tierFor(now() - from, step);
    long long tw = widthFor(now() - from, step);
    step = std::max(tw, (step + tw - 1) / tw * tw);
    std::lock_guard<std::mutex> guard(dbMutex);
    if (db == nullptr) return;
    // A coarse tier ends where it was last rolled up; the finer ones go on from there.
    long long rolled[2] = {from, from}; // quarters, minutes
    if (tier > 0) {
        Statement marks(db, "SELECT name, value FROM kept WHERE name IN ('rolled_quarters', 'rolled_minutes')");
        while (marks.step() == SQLITE_ROW) rolled[marks.text(0) == "rolled_minutes" ? 1 : 0] = std::atoll(marks.text(1).c_str());
        if (tier == 1) rolled[0] = from;
    }
    const struct {
        const char* table;
        long long begin, end;
    } parts[] = {{"quarters", from, rolled[0]},
                 {"minutes", std::max(from, rolled[0]), rolled[1]},
                 {"buckets", std::max(from, rolled[1]), to + 1}};
    // Rows come in order of time, so each merged bucket is complete when the next begins.
    // None goes past the time asked, whatever a mark ahead of the clock says.
    StoreBucket merged;
    bool pending = false;
    for (const auto& part : parts) {
        long long end = std::min(part.end, to + 1);
        if (part.begin >= end) continue;
        Statement query(db, std::string("SELECT time, ") + valueColumns() + " FROM " + part.table +
                                " WHERE time >= ?1 AND time < ?2 ORDER BY time");
        query.bind(1, part.begin).bind(2, end);
        while (query.step() == SQLITE_ROW) {
            StoreBucket row = bucketAt(query);
            row.time = row.time / step * step;
            if (pending && row.time != merged.time) visit(merged);
            if (!pending || row.time != merged.time) {
                merged = row;
                pending = true;
                continue;
            }
            mergeInto(merged, row);
        }
    }
    if (pending) visit(merged);
}

std::vector<StoreBucket> Store::buckets(long long from, long long to, long long step)
{
    std::vector<StoreBucket> out;
    scan(from, to, step, [&out](const StoreBucket& bucket) { out.push_back(bucket); });
    return out;
}

std::vector<OutageRecord> Store::outages(std::size_t limit)
{
    std::vector<OutageRecord> out;
    std::lock_guard<std::mutex> guard(dbMutex);
    if (db == nullptr) return out;
    Statement query(db, "SELECT * FROM outages WHERE start <= ?2 ORDER BY start DESC LIMIT ?1");
    query.bind(1, static_cast<long long>(limit)).bind(2, now() + aheadKept);
    while (query.step() == SQLITE_ROW) {
        OutageRecord r;
        r.start = query.integer(0);
        r.end = query.isNull(1) ? 0 : query.integer(1);
        r.last = query.integer(2);
        r.chargeStart = static_cast<int>(query.integer(3));
        r.chargeLowest = static_cast<int>(query.integer(4));
        r.chargeEnd = static_cast<int>(query.integer(5));
        r.energyWh = query.real(6);
        r.peakCurrent = static_cast<int>(query.integer(7));
        r.lowBattery = query.integer(8) != 0;
        r.interrupted = query.integer(9) != 0;
        out.push_back(r);
    }
    return out;
}
