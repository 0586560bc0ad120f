// writer: text for a descriptor, written by a thread of its own so that a slow reader never holds the loop.
#include "writer.h"

#include "output.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <syslog.h>
#include <thread>
#include <unistd.h>

struct LineWriter::State {
    Sink sink;
    std::string what;
    std::size_t limit;
    std::mutex mutex; // guards everything below
    std::condition_variable wake;
    std::deque<std::string> queue;
    std::size_t bytes = 0;      // in the queue
    bool writing = false;       // the thread holds a text it took from the queue
    bool stopping = false;      // write what is queued, then end
    bool abandoned = false;     // end after the current write
    bool behind = false;        // in an episode of dropped lines
    std::uint64_t dropped = 0;  // lines, in all
    std::uint64_t episodeDrops = 0;
    std::thread thread;

    void run();
    bool drop(const std::string& text);
    std::string slowNotice() const { return what + " is not being read fast enough: dropping the oldest lines"; }
};

namespace {

// Write all of text; false when the descriptor fails (a reader gone, say).
bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

// Count a text's lines as dropped; true for the first drop of an episode, which the caller
// reports once it has let go of the mutex (a report may come back to this writer).
bool LineWriter::State::drop(const std::string& text)
{
    auto lines = static_cast<std::uint64_t>(std::max<std::ptrdiff_t>(1, std::count(text.begin(), text.end(), '\n')));
    dropped += lines;
    episodeDrops += lines;
    if (behind) return false;
    behind = true;
    return true;
}

// The thread: write queued texts in order until told to stop.
void LineWriter::State::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || abandoned || !queue.empty(); });
        if (abandoned || queue.empty()) return;
        std::string text = std::move(queue.front());
        queue.pop_front();
        bytes -= text.size();
        writing = true;
        lock.unlock();
        bool written = sink(text);
        lock.lock();
        writing = false;
        std::string report;
        if (!written && drop(text)) report = slowNotice();
        if (written && queue.empty() && behind) {
            report = what + " keeps up again after " + std::to_string(episodeDrops) + " lines were dropped";
            behind = false;
            episodeDrops = 0;
        }
        wake.notify_all();
        if (report.empty()) continue;
        lock.unlock();
        logMessage(written ? LOG_NOTICE : LOG_WARNING, report);
        lock.lock();
    }
}

LineWriter::LineWriter(int fd, std::string what, std::size_t limit)
    : LineWriter([fd](const std::string& text) { return writeAll(fd, text); }, std::move(what), limit)
{
}

LineWriter::LineWriter(Sink sink, std::string what, std::size_t limit) : state(std::make_shared<State>())
{
    state->sink = std::move(sink);
    state->what = std::move(what);
    state->limit = limit;
    // The thread shares the state, so it may outlive this writer when stuck in a write.
    state->thread = std::thread([shared = state] { shared->run(); });
}

LineWriter::~LineWriter()
{
    if (!state->thread.joinable()) return;
    bool stuck = false;
    {
        std::lock_guard lock(state->mutex);
        state->abandoned = true;
        stuck = state->writing;
        state->wake.notify_all();
    }
    if (stuck) state->thread.detach();
    else state->thread.join();
}

void LineWriter::write(std::string text)
{
    bool began = false;
    {
        std::lock_guard lock(state->mutex);
        state->bytes += text.size();
        state->queue.push_back(std::move(text));
        while (state->bytes > state->limit && state->queue.size() > 1) {
            state->bytes -= state->queue.front().size();
            began = state->drop(state->queue.front()) || began;
            state->queue.pop_front();
        }
        state->wake.notify_all();
    }
    if (began) logMessage(LOG_WARNING, state->slowNotice());
}

std::uint64_t LineWriter::dropped() const
{
    std::lock_guard lock(state->mutex);
    return state->dropped;
}

void LineWriter::finish(std::chrono::steady_clock::time_point deadline)
{
    if (!state->thread.joinable()) return;
    std::unique_lock lock(state->mutex);
    state->stopping = true;
    state->wake.notify_all();
    bool drained = state->wake.wait_until(lock, deadline, [this] { return state->queue.empty() && !state->writing; });
    lock.unlock();
    if (drained) state->thread.join();
    else state->thread.detach();
}
