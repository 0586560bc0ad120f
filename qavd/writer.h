// writer: text for a descriptor, written by a thread of its own so that a slow reader never holds the loop.
#ifndef QAVD_WRITER_H
#define QAVD_WRITER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

/**
 * Writes whole lines to a descriptor (standard output, say) or another sink
 * from a thread of its own. The caller only queues. When more than the limit
 * waits because the reader falls behind (a pipe nobody reads, a stuck journal)
 * or is gone, the oldest lines are dropped and counted; each such episode is
 * reported with logMessage() once when it begins and once when writing keeps
 * up again.
 */
class LineWriter {
public:
    /** Delivers one queued text whole, on the writer's thread; may block. @return false when it is lost. */
    using Sink = std::function<bool(const std::string& text)>;

    /**
     * @param fd    The descriptor; it stays open and is never made non-blocking.
     * @param what  Its name in reports: "standard output".
     * @param limit Most bytes waiting; at least one whole text is always kept.
     */
    LineWriter(int fd, std::string what, std::size_t limit);
    /** The same, delivering each text to @p sink. */
    LineWriter(Sink sink, std::string what, std::size_t limit);
    /** Stops the thread without waiting for what is still queued. */
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    /** Queue @p text, one or more lines each ending in a line feed. */
    void write(std::string text);

    /** @return Lines dropped so far. */
    std::uint64_t dropped() const;

    /**
     * Wait until everything queued is written, or until @p deadline, and stop
     * the thread; a thread stuck in a write is left to end with the process.
     */
    void finish(std::chrono::steady_clock::time_point deadline);

private:
    struct State;
    std::shared_ptr<State> state;
};

#endif
