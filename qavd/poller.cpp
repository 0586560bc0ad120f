// poller: the poll loop: connect with back-off, request, collect, check and hand on each answer.
#include "poller.h"

#include "core_outputs.h"
#include "events.h"
#include "health.h"
#include "log.h"
#include "recorder.h"
#include "state.h"
#include "transport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <syslog.h>
#include <unistd.h>

// The port library's diagnostics stay quiet in the daemon.
int DEBUG_LEVEL = 0;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t answerLength = 77;
constexpr std::size_t fieldLength = 74;
// Stray bytes after the 77th are waited for this long.
constexpr std::chrono::milliseconds settleTime{20};
constexpr double firstBackoff = 1;
const char* const statusRequest = "@RQ\n";

// Seconds as a clock duration.
Clock::duration seconds(double value)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// Milliseconds from now until deadline, rounded up, for poll(); 0 when past.
int msUntil(Clock::time_point deadline)
{
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 60000));
}

// How a battery's health is followed, from its options.
HealthSettings healthSettings(const DaemonOptions& options)
{
    return {options.name, options.capacity, options.replaceAt, options.lowBattery,
            civilDate(options.installed).value_or(0), (options.staleAfter + 0.5) * options.interval};
}

} // namespace

PollResult classifyAnswer(const std::string& bytes)
{
    if (bytes.empty()) return PollResult::timeout;
    if (bytes.size() < answerLength) return PollResult::shortAnswer;
    if (bytes.size() > answerLength) return PollResult::longAnswer;
    bool hex = std::all_of(bytes.begin(), bytes.begin() + fieldLength,
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    return hex ? PollResult::accepted : PollResult::malformed;
}

namespace {

// One daemon run: the connection, the schedule and the event state.
class Daemon {
public:
    Daemon(const DaemonOptions& settings, Outputs& all, const PollControl& told, CommandRunner& children,
           HistoryRecorder& history)
        : options(settings), outputs(all), control(told), runner(children), recorder(history),
          transport(settings, [this](int fd, short events, Clock::time_point deadline) {
              return wait(fd, events, deadline);
          }),
          tracker(settings.name, settings.staleAfter, settings.lowBattery, settings.lowRuntime),
          keeper(settings.name, static_cast<long long>(std::time(nullptr))),
          estimator({settings.capacity, settings.lowRuntime, (settings.staleAfter + 0.5) * settings.interval}),
          health(healthSettings(settings), history.store())
    {
        keeper.health(health.current());
    }
    int run();
    /** Start the estimator from a capacity learned in an earlier run, unless it cannot be true. */
    void seed(LearnedCapacity learned);

private:
    bool service();
    Wake wait(int watched, short events, Clock::time_point deadline);
    void connect();
    void backOff();
    void disconnect();
    void leaveWedged();
    PollResult collect(std::string* bytes, bool* peerGone);
    PollResult pollOnce(std::string* bytes);
    void handle(PollResult result, const std::string& bytes);
    void raise(const std::vector<Event>& events);
    void publish();
    bool onceDone(PollResult result, int* status) const;

    const DaemonOptions& options;
    Outputs& outputs;
    const PollControl& control;
    unsigned rotationsSeen = 0;        // of control.rotations, acted on
    CommandRunner& runner;
    HistoryRecorder& recorder;
    Transport transport;
    EventTracker tracker;
    StateKeeper keeper;
    RuntimeEstimator estimator;
    HealthTracker health;
    double backoff = firstBackoff;
    Clock::time_point nextAttempt{};
    bool answeredOnConnection = false; // an answer was accepted since the port was opened
    long connectFailures = 0;          // in a row
    int silentPolls = 0;               // failed polls in a row on the open connection
    long wedges = 0;                   // connections left in a row for giving no answer
    PollResult lastFailure = PollResult::timeout;
    bool forcedShutdown = false;       // fsd was raised
};

// Start the estimator from a capacity learned in an earlier run; one that cannot be true is
// ignored with a warning, and the capacity is learned anew.
void Daemon::seed(LearnedCapacity learned)
{
    if ((learned.ampereHours == 0 && learned.weight == 0) || estimator.seed(learned.ampereHours, learned.weight))
        return;
    char text[160];
    std::snprintf(text, sizeof text, ": ignoring the stored capacity of %g Ah over %g%% of gauge: not plausible "
                                     "(at least %g Ah over more than 0%%); learning it anew",
                  learned.ampereHours, learned.weight, minimumCapacity);
    logMessage(LOG_WARNING, options.name + text);
}

// Act on what the main thread asked and on the children; false once told to stop.
bool Daemon::service()
{
    control.wake.take();
    if (unsigned asked = control.rotations; asked != rotationsSeen) {
        rotationsSeen = asked;
        outputs.rotate();
    }
    if (runner.running() > 0) runner.reap();
    return !control.stop;
}

// Wait until watched (when not -1) has one of events, deadline passes, or a stop signal comes.
Wake Daemon::wait(int watched, short events, Clock::time_point deadline)
{
    for (;;) {
        if (!service()) return Wake::terminate;
        Clock::time_point until = std::min(deadline, runner.nextDeadline());
        pollfd fds[2] = {{control.wake.fd(), POLLIN, 0}, {watched, events, 0}};
        int ready = poll(fds, watched >= 0 ? 2 : 1, msUntil(until));
        if (ready < 0 && errno != EINTR) return Wake::ready; // the read or write will tell what is wrong
        if (ready > 0 && watched >= 0 && fds[1].revents != 0) return Wake::ready;
        if (Clock::now() >= deadline && (ready <= 0 || fds[0].revents == 0)) return Wake::deadline;
    }
}

// Try to open the port, by the timeout; on failure say why and wait longer before each further try.
void Daemon::connect()
{
    std::string why;
    bool ok = transport.open(Clock::now() + seconds(options.timeout), &why);
    if (control.stop) return;
    keeper.connected(ok);
    outputs.connected(ok);
    if (ok) {
        answeredOnConnection = false;
        connectFailures = 0;
        silentPolls = 0;
        return;
    }
    connectFailures++;
    if (failureLogged(connectFailures)) {
        logMessage(LOG_WARNING, options.name + ": cannot connect to " + options.address + ": " + why);
    }
    backOff();
}

// Put the next attempt off by the back-off, which doubles up to its limit.
void Daemon::backOff()
{
    nextAttempt = Clock::now() + seconds(backoff);
    backoff = std::min(backoff * 2, options.maxBackoff);
}

// Close a port that failed. One that gave an answer is opened again at the next poll;
// one that gave none (a peer that accepts and hangs up at once) waits out the back-off.
void Daemon::disconnect()
{
    transport.close();
    if (answeredOnConnection) nextAttempt = Clock::now();
    else backOff();
}

// Collect the answer's bytes until 77 have come and settled, the timeout passes, or
// the peer goes (what came before it still counts).
PollResult Daemon::collect(std::string* bytes, bool* peerGone)
{
    Clock::time_point deadline = Clock::now() + seconds(options.timeout);
    char chunk[512];
    while (bytes->size() <= answerLength) {
        Wake wake = wait(transport.fd(), POLLIN, deadline);
        if (wake == Wake::terminate) return PollResult::timeout;
        if (wake == Wake::deadline) break;
        ssize_t n = read(transport.fd(), chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            *peerGone = true;
            if (bytes->empty()) return PollResult::disconnected;
            break;
        }
        bool wasShort = bytes->size() < answerLength;
        bytes->append(chunk, static_cast<std::size_t>(n));
        if (wasShort && bytes->size() >= answerLength)
            deadline = std::min(deadline, Clock::now() + settleTime);
    }
    return classifyAnswer(*bytes);
}

// One poll: connect when due, discard, request, collect; each step by its deadline.
PollResult Daemon::pollOnce(std::string* bytes)
{
    if (transport.fd() < 0 && Clock::now() >= nextAttempt) connect();
    if (transport.fd() < 0) return PollResult::disconnected;
    if (!transport.discard() || !transport.send(statusRequest, Clock::now() + seconds(options.timeout))) {
        disconnect();
        return PollResult::disconnected;
    }
    bool peerGone = false;
    PollResult result = collect(bytes, &peerGone);
    if (result == PollResult::accepted) {
        answeredOnConnection = true;
        backoff = firstBackoff;
        silentPolls = 0;
        wedges = 0;
    }
    if (peerGone) disconnect();
    else if (result != PollResult::accepted && ++silentPolls >= options.staleAfter) leaveWedged();
    return result;
}

// Close a connection that gave no accepted answer for --stale-after polls in a row (an
// endpoint that accepts and then never answers): it is opened anew after the back-off.
void Daemon::leaveWedged()
{
    transport.close();
    backOff();
    if (failureLogged(++wedges))
        logMessage(LOG_WARNING, options.name + ": no answer accepted in " + std::to_string(silentPolls) +
                                    " polls on this connection: connecting anew");
}

// Hand one poll's outcome, answer and events to the state and every output, then the state's snapshot.
void Daemon::handle(PollResult result, const std::string& bytes)
{
    keeper.polled(result);
    outputs.polled(result);
    auto wall = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    auto now = static_cast<long long>(wall);
    bool wasFresh = tracker.fresh();
    if (result != PollResult::accepted) {
        lastFailure = result;
        std::vector<Event> events = tracker.failed(result, now);
        if (wasFresh && !tracker.fresh()) {
            keeper.stale();
            recorder.stale();
            outputs.freshness(false);
        }
        raise(events);
        publish();
        return;
    }
    auto reading = std::make_shared<Reading>(Reading{options.name, now, bytes, {}});
    decodeStatus(bytes.data(), bytes.size(), &reading->status);
    reading->estimate = estimator.accepted(reading->status, std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
    std::vector<Event> events = tracker.accepted(reading->status, now, reading->estimate);
    // The outage journal's end comes first, as the answer that ended it.
    if (std::optional<Event> ended = recorder.accepted(*reading)) events.insert(events.begin(), *ended);
    std::vector<Event> aged = health.accepted(reading->status, reading->estimate, wall);
    events.insert(events.end(), aged.begin(), aged.end());
    keeper.accepted(reading, wall);
    keeper.health(health.current());
    if (!wasFresh) outputs.freshness(true);
    outputs.accepted(*reading);
    raise(events);
    publish();
}

// Hand each event to the state and to every output.
void Daemon::raise(const std::vector<Event>& events)
{
    for (const Event& event : events) {
        keeper.event(event);
        outputs.event(event);
    }
}

// Raise fsd the first time an output says a client set forced shutdown; take every output's
// drops into the state; and hand all outputs its snapshot.
void Daemon::publish()
{
    if (!forcedShutdown) {
        if (std::string who = outputs.forcedShutdownBy(options.name); !who.empty()) {
            forcedShutdown = true;
            raise({Event{options.name, "fsd", "forced shutdown set by " + who, static_cast<long long>(std::time(nullptr))}});
        }
    }
    outputs.eachDrop([this](const char* name, std::uint64_t total) { keeper.dropped(name, total); });
    outputs.state(keeper.snapshot());
}

// With --once: whether the run is over, and its exit status.
bool Daemon::onceDone(PollResult result, int* status) const
{
    if (result == PollResult::accepted) {
        *status = 0;
        return true;
    }
    if (tracker.failures() < options.staleAfter) return false;
    standardError("no answer accepted in " + std::to_string(tracker.failures()) + " polls of " + options.address +
                  " (the last: " + pollResultName(lastFailure) + ")");
    *status = 1;
    return true;
}

// Poll at every interval until a stop signal (or the end of a --once run).
int Daemon::run()
{
    int status = 0;
    Clock::time_point start = Clock::now();
    for (;;) {
        std::string bytes;
        PollResult result = pollOnce(&bytes);
        if (control.stop) break;
        handle(result, bytes);
        if (options.once && onceDone(result, &status)) break;
        // Start to start; a poll that overran a whole period starts the next at once.
        start += seconds(options.interval);
        if (start < Clock::now()) start = Clock::now();
        if (wait(-1, 0, start) == Wake::terminate) break;
    }
    outputs.finish();
    recorder.flush();
    transport.close();
    return status;
}

} // namespace

Wakeup::Wakeup() : descriptor(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Wakeup::~Wakeup()
{
    if (descriptor >= 0) close(descriptor);
}

void Wakeup::wake() const
{
    std::uint64_t one = 1;
    if (write(descriptor, &one, sizeof one) < 0) {
        // Only when the counter is near overflow, and then it is readable anyway.
    }
}

void Wakeup::take() const
{
    std::uint64_t count = 0;
    if (read(descriptor, &count, sizeof count) < 0) {
        // EAGAIN: nothing was asked since the last look.
    }
}

int runDaemon(const DaemonOptions& options, Outputs& outputs, const PollControl& control, CommandRunner& runner,
              HistoryRecorder& recorder)
{
    Daemon daemon(options, outputs, control, runner, recorder);
    daemon.seed(recorder.learned());
    return daemon.run();
}
