// commands: event commands run apart from the daemon, their output sent to the system log.
#include "commands.h"

#include "event_table.h"
#include "events.h"
#include "log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

// ---- Reading the commands' output ----

namespace {

using Clock = std::chrono::steady_clock;

// The rest between two drains of a stream past its share.
constexpr std::chrono::milliseconds drainPause{100};

// One run's output on its way to the system log.
struct OutputStream {
    int fd;
    std::string label;              // "b1: alert command[1234]"
    std::string partial{};          // a line not yet ended
    std::size_t kept = 0;           // bytes taken, at most CommandRunner::outputLimit
    unsigned long long dropped = 0; // bytes beyond that
    Clock::time_point resume{};     // past its share: when to drain it next
};

} // namespace

/**
 * A thread that reads every command's output pipe, so that no command waits on
 * the poll loop and the poll loop never waits on a command.
 */
class CommandOutputReader {
public:
    CommandOutputReader() = default;
    ~CommandOutputReader() { stop(); }
    CommandOutputReader(const CommandOutputReader&) = delete;
    CommandOutputReader& operator=(const CommandOutputReader&) = delete;

    /** Read @p fd (non-blocking) until its end, its lines logged after @p label; takes it over. */
    void add(int fd, std::string label);
    /** Read what the pipes still hold, close them and end the thread. */
    void stop();

private:
    void run();
    bool waitForOutput(const std::vector<OutputStream>& streams, bool last, std::vector<pollfd>* fds);
    bool readFrom(OutputStream& stream);
    static void take(OutputStream& stream, const char* data, std::size_t length);
    static void finish(OutputStream& stream);

    int wakeFd = -1;
    int discard = -1; // /dev/null, where output past a run's share goes
    std::mutex mutex; // guards the two below
    std::vector<OutputStream> incoming;
    bool stopping = false;
    std::thread thread;
    std::vector<char> chunk;
};

void CommandOutputReader::add(int fd, std::string label)
{
    if (discard < 0) discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (wakeFd < 0) wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        systemLog(LOG_ERR, std::string("cannot read event command output: ") + std::strerror(errno));
        close(fd);
        return;
    }
    {
        std::lock_guard lock(mutex);
        incoming.push_back({fd, std::move(label)});
    }
    std::uint64_t one = 1;
    (void)write(wakeFd, &one, sizeof one);
    if (!thread.joinable()) thread = std::thread([this] { run(); });
}

void CommandOutputReader::stop()
{
    if (!thread.joinable()) return;
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    std::uint64_t one = 1;
    (void)write(wakeFd, &one, sizeof one);
    thread.join();
    close(wakeFd);
    wakeFd = -1;
    if (discard >= 0) close(discard);
    discard = -1;
}

// Wait for output on every pipe and log it; at the end, read what is left.
void CommandOutputReader::run()
{
    chunk.resize(65536);
    std::vector<OutputStream> streams;
    for (bool last = false; !last;) {
        {
            std::lock_guard lock(mutex);
            std::move(incoming.begin(), incoming.end(), std::back_inserter(streams));
            incoming.clear();
            last = stopping;
        }
        std::vector<pollfd> fds;
        if (!waitForOutput(streams, last, &fds)) last = true;
        for (std::size_t i = 0; i < streams.size(); i++) {
            bool open = fds[i + 1].revents == 0 || readFrom(streams[i]);
            if (open && !last) continue;
            finish(streams[i]);
            streams[i].fd = -1;
        }
        std::erase_if(streams, [](const OutputStream& stream) { return stream.fd < 0; });
    }
}

// Wait until a pipe has output, a stream's rest is over or add() or stop() wakes us (not
// at all for the last pass); fds[i + 1] is streams[i]. False when poll() fails.
bool CommandOutputReader::waitForOutput(const std::vector<OutputStream>& streams, bool last,
                                        std::vector<pollfd>* fds)
{
    // A stream past its share rests between drains; poll() skips a negative descriptor.
    auto now = Clock::now();
    auto wakeAt = Clock::time_point::max();
    fds->push_back({wakeFd, POLLIN, 0});
    for (const OutputStream& stream : streams) {
        bool resting = now < stream.resume && !last;
        if (resting) wakeAt = std::min(wakeAt, stream.resume);
        fds->push_back({resting ? -1 : stream.fd, POLLIN, 0});
    }
    int timeout = last ? 0 : wakeAt == Clock::time_point::max() ? -1
                 : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count());
    int ready = poll(fds->data(), fds->size(), timeout);
    std::uint64_t count = 0;
    (void)read(wakeFd, &count, sizeof count);
    if (ready < 0)
        for (pollfd& fd : *fds) fd.revents = 0;
    return ready >= 0 || errno == EINTR;
}

// Read one chunk; false at the end of the pipe. Past a run's share the bytes are
// only counted: moved to /dev/null inside the kernel, a pipeful at a time with a
// rest between, so a flood costs us little and slows its writer down.
bool CommandOutputReader::readFrom(OutputStream& stream)
{
    if (stream.kept == CommandRunner::outputLimit && discard >= 0) {
        stream.resume = Clock::now() + drainPause;
        ssize_t n = splice(stream.fd, nullptr, discard, nullptr, 1 << 20, SPLICE_F_NONBLOCK);
        if (n > 0) stream.dropped += static_cast<unsigned long long>(n);
        if (n < 0 && errno != EINVAL) return errno == EINTR || errno == EAGAIN;
        if (n >= 0) return n > 0;
    }
    ssize_t n = read(stream.fd, chunk.data(), chunk.size());
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    take(stream, chunk.data(), static_cast<std::size_t>(n));
    return n > 0;
}

// Keep what fits in a run's share, log each line it ends, and count the rest.
void CommandOutputReader::take(OutputStream& stream, const char* data, std::size_t length)
{
    std::size_t keep = std::min(length, CommandRunner::outputLimit - stream.kept);
    stream.kept += keep;
    stream.dropped += length - keep;
    stream.partial.append(data, keep);
    std::size_t start = 0;
    for (std::size_t end; (end = stream.partial.find('\n', start)) != std::string::npos; start = end + 1)
        systemLog(LOG_INFO, stream.label + ": " + stream.partial.substr(start, end - start));
    stream.partial.erase(0, start);
}

// Log the unended last line and what was dropped, and close the pipe.
void CommandOutputReader::finish(OutputStream& stream)
{
    if (!stream.partial.empty()) systemLog(LOG_INFO, stream.label + ": " + stream.partial);
    if (stream.dropped > 0)
        systemLog(LOG_WARNING, stream.label + ": " + std::to_string(stream.dropped) +
                                   " bytes of output dropped after the first " +
                                   std::to_string(CommandRunner::outputLimit));
    close(stream.fd);
}

// ---- Starting and supervising ----

namespace {

// Whether an entry of our environment stays ours: the event's own, systemd's credentials
// directory and the notify and watchdog settings meant for qavd alone.
bool keptFromCommands(const char* entry)
{
    const std::array<const char*, 4> prefixes = {"QAV_", "CREDENTIALS_DIRECTORY=", "NOTIFY_SOCKET=", "WATCHDOG_"};
    return std::ranges::any_of(prefixes, [entry](const char* prefix) {
        return std::strncmp(entry, prefix, std::strlen(prefix)) == 0;
    });
}

// The environment of an event command: ours without the entries kept from commands, then the
// event's, with the number of events it stands for.
std::vector<std::string> eventEnvironment(const Event& event, unsigned long count)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; entry++)
        if (!keptFromCommands(*entry)) entries.emplace_back(*entry);
    entries.push_back("QAV_EVENT=" + event.name);
    entries.push_back("QAV_BATTERY=" + event.battery);
    entries.push_back("QAV_DETAIL=" + event.detail);
    entries.push_back("QAV_TIME=" + std::to_string(event.time));
    entries.push_back("QAV_COUNT=" + std::to_string(count));
    return entries;
}

// Pointers to texts, ending in a null, as execve() takes them.
std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers(texts.size() + 1, nullptr);
    std::transform(texts.begin(), texts.end(), pointers.begin(), [](std::string& text) { return text.data(); });
    return pointers;
}

// What a forked child needs; everything is made before the fork, since a child of a
// threaded process may only make async-signal-safe calls.
struct Launch {
    pid_t daemon;      // the supervisor's parent
    const char* path;
    char* const* argv;
    char* const* envp;
    int null;          // /dev/null, for standard input
    int output;        // the pipe's writing end, for standard output and error
    int status;        // the pipe that carries errno when the start fails
};

// Send errno up the status pipe and end.
[[noreturn]] void failStart(int status, int error)
{
    (void)write(status, &error, sizeof error);
    _exit(127);
}

// Milliseconds from `since` on the monotonic clock.
long long msSince(const timespec& since)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000LL + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Append the decimal digits of value to text at *at, as snprintf would, but async-signal-safe.
void appendNumber(char* text, std::size_t* at, long value)
{
    char digits[24];
    int n = 0;
    do digits[n++] = static_cast<char>('0' + value % 10);
    while ((value /= 10) > 0);
    while (n > 0) text[(*at)++] = digits[--n];
    text[*at] = '\0';
}

// Send sig to every descendant of pid, children before their parents, walking the lists
// of children /proc keeps. One that forks meanwhile is caught on a later call: when its
// parent dies, the orphan comes to the supervisor. Async-signal-safe.
void signalDescendants(pid_t pid, int sig, int depth)
{
    char path[64] = "/proc/";
    std::size_t at = 6;
    appendNumber(path, &at, pid);
    std::memcpy(path + at, "/task/", 7);
    at += 6;
    appendNumber(path, &at, pid);
    std::memcpy(path + at, "/children", 10);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char chunk[512];
    long child = 0;
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        for (ssize_t i = 0; i < n; i++) {
            if (chunk[i] >= '0' && chunk[i] <= '9') {
                child = child * 10 + (chunk[i] - '0');
                continue;
            }
            if (child <= 0) continue;
            if (depth < 64) signalDescendants(static_cast<pid_t>(child), sig, depth + 1);
            kill(static_cast<pid_t>(child), sig);
            child = 0;
        }
    close(fd);
}

// The supervisor's wait: reap every descendant (orphans come to it too) until none is
// left. On SIGTERM, from the daemon or for the daemon's death, every descendant gets
// SIGTERM, and SIGKILL after grace; on SIGUSR1 (past the limit), SIGKILL at once: those
// that left the command's group (setsid, setpgid) too. Returns the command's wait status.
int superviseGroup(pid_t command, const sigset_t* watched)
{
    int commandStatus = 0;
    bool ending = false;
    timespec endingSince{};
    long long grace = CommandRunner::grace.count();
    for (;;) {
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(-1, &status, WNOHANG)) > 0)
            if (done == command) commandStatus = status;
        if (done < 0 && errno == ECHILD) return commandStatus;
        long long left = ending ? grace - msSince(endingSince) : 0;
        if (ending && left <= 0) signalDescendants(getpid(), SIGKILL, 0);
        // Past the grace, wake for each child that dies, or soon to look again.
        left = std::max(left, 10LL);
        timespec timeout{left / 1000, (left % 1000) * 1000000};
        int sig = sigtimedwait(watched, nullptr, ending ? &timeout : nullptr);
        if ((sig == SIGTERM || sig == SIGUSR1) && !ending) {
            ending = true;
            clock_gettime(CLOCK_MONOTONIC, &endingSince);
            if (sig == SIGUSR1) grace = 0;
            else signalDescendants(getpid(), SIGTERM, 0);
        }
    }
}

// The command itself: default signal handling, then the program.
[[noreturn]] void execCommand(const Launch& launch)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaults, nullptr); // ignored in the daemon, which exec would keep
    execve(launch.path, launch.argv, launch.envp);
    failStart(3, errno);
}

// The supervisor, in the child of fork(): a group of its own whose only open
// descriptors are 0 to 2 (and the status pipe until the command starts), then
// the command, then the wait for the whole group.
[[noreturn]] void supervise(const Launch& launch)
{
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGUSR1);
    sigaddset(&watched, SIGCHLD);
    sigprocmask(SIG_BLOCK, &watched, nullptr);
    // SIGTERM when the daemon dies, however it dies.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != launch.daemon) _exit(127);
    setpgid(0, 0);
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The status pipe goes to 3 last: 0 to 2 are taken by then, so it is above them.
    if (dup2(launch.null, 0) < 0 || dup2(launch.output, 1) < 0 || dup2(launch.output, 2) < 0)
        failStart(launch.status, errno);
    if (launch.status != 3 && dup3(launch.status, 3, O_CLOEXEC) < 0) failStart(launch.status, errno);
    close_range(4, ~0U, 0);
    pid_t command = fork();
    if (command == 0) execCommand(launch);
    if (command < 0) failStart(3, errno);
    close(3);
    int status = superviseGroup(command, &watched);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Close the descriptors given, keeping errno.
void closeAll(std::initializer_list<int> fds)
{
    int saved = errno;
    for (int fd : fds)
        if (fd >= 0) close(fd);
    errno = saved;
}

// Fork the supervisor and wait until the command has started or failed to. Returns 0
// or an errno value; *pid and *output (the pipe to read) are set when it started.
int launchSupervised(Launch launch, pid_t* pid, int* output)
{
    int out[2] = {-1, -1}, status[2] = {-1, -1};
    launch.null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (launch.null < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) {
        closeAll({launch.null, out[0], out[1], status[0], status[1]});
        return errno;
    }
    launch.output = out[1];
    launch.status = status[1];
    launch.daemon = getpid();
    *pid = fork();
    if (*pid == 0) supervise(launch);
    int error = *pid < 0 ? errno : 0;
    closeAll({launch.null, out[1], status[1]});
    if (*pid > 0) {
        setpgid(*pid, *pid); // as the child does, so the group is there for kill() at once
        ssize_t n = 0;
        while ((n = read(status[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        if (n != static_cast<ssize_t>(sizeof error)) error = 0;
    }
    closeAll({status[0]});
    if (error != 0) closeAll({out[0]});
    else *output = out[0];
    return error;
}

} // namespace

CommandRunner::CommandRunner() : reader(std::make_unique<CommandOutputReader>()) {}

CommandRunner::~CommandRunner()
{
    stop();
}

bool CommandRunner::problemEvent(const std::string& name)
{
    const EventKind* kind = findEventKind(name);
    return kind != nullptr && kind->commandKept;
}

void reportUnrun(const Event& event, const std::string& problem)
{
    systemLog(LOG_ERR, event.battery + ": event " + event.name + ": " + problem);
    standardError("event " + event.name + ": " + problem);
}

bool CommandRunner::run(const std::string& path, const Event& event, std::string* problem)
{
    reap();
    if (merge(path, event)) return true;
    if (!slotFree() && problemEvent(event.name)) endInformational(event);
    if (slotFree()) return start(path, event, 1, problem);
    queued.push_back({path, event, 1});
    logMessage(LOG_NOTICE, event.battery + ": event " + event.name + " waits: " + std::to_string(children.size()) +
                               " event commands still running");
    return true;
}

// Whether a command may start now. Commands told to end take no slot, but while
// they linger (a process that cannot die at once) at most as many again are kept.
bool CommandRunner::slotFree() const
{
    auto live = std::ranges::count_if(children, [](const Child& child) { return !child.killed; });
    return static_cast<std::size_t>(live) < maxRunning && children.size() < 2 * maxRunning;
}

// Fold an event into the one of its kind that waits, if any: the latest detail and
// time, the counts added. The first ten merges of a run are logged, then one in a hundred.
bool CommandRunner::merge(const std::string& path, const Event& event)
{
    auto same = std::ranges::find_if(queued, [&event](const Waiting& w) { return w.event.name == event.name; });
    if (same == queued.end()) return false;
    same->path = path;
    same->event = event;
    same->count++;
    if (failureLogged(static_cast<long>(same->count - 1)))
        logMessage(LOG_NOTICE, event.battery + ": event " + event.name + " merged with the one waiting: " +
                                   std::to_string(same->count) + " " + event.name +
                                   " events to run once, with the latest detail");
    return true;
}

// Make room for a problem event: the oldest running command of an informational
// kind (children are kept in the order they started) is ended, its whole group at
// once, which frees its slot.
void CommandRunner::endInformational(const Event& event)
{
    auto oldest = std::ranges::find_if(children, [](const Child& child) { return !child.killed && !problemEvent(child.kind); });
    if (oldest == children.end()) return;
    kill(oldest->pid, SIGUSR1);
    oldest->killed = true;
    auto ran = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - oldest->started);
    logMessage(LOG_WARNING, event.battery + ": event " + event.name + " ended the " + oldest->kind + " command[" +
                                std::to_string(oldest->pid) + "], running for " + std::to_string(ran.count()) +
                                " s, to take its slot");
}

// Start the command for an event that stands for count events.
bool CommandRunner::start(const std::string& path, const Event& event, unsigned long count, std::string* problem)
{
    std::vector<std::string> args{path, event.name};
    std::vector<std::string> env = eventEnvironment(event, count);
    std::vector<char*> argv = pointersTo(args);
    std::vector<char*> envp = pointersTo(env);
    pid_t pid = -1;
    int output = -1;
    int error = launchSupervised({0, path.c_str(), argv.data(), envp.data(), -1, -1, -1}, &pid, &output);
    if (pid > 0) children.push_back({pid, std::chrono::steady_clock::now(), false, event.name});
    if (error != 0) {
        *problem = "cannot run \"" + path + "\": " + std::strerror(error);
        return false;
    }
    (void)fcntl(output, F_SETFL, O_NONBLOCK);
    reader->add(output, event.battery + ": " + event.name + " command[" + std::to_string(pid) + "]");
    return true;
}

// Start waiting events while slots are free: problem events first, each kind in the order it came.
void CommandRunner::startWaiting()
{
    while (!queued.empty() && slotFree()) {
        auto next = std::ranges::find_if(queued, [](const Waiting& w) { return problemEvent(w.event.name); });
        if (next == queued.end()) next = queued.begin();
        Waiting event = std::move(*next);
        queued.erase(next);
        std::string problem;
        if (!start(event.path, event.event, event.count, &problem)) reportUnrun(event.event, problem);
    }
}

void CommandRunner::reap()
{
    auto now = std::chrono::steady_clock::now();
    for (Child& child : children) {
        if (child.killed || now - child.started < limit) continue;
        // The supervisor kills every descendant, those that left the group too.
        kill(child.pid, SIGUSR1);
        child.killed = true;
        systemLog(LOG_WARNING, "event command " + std::to_string(child.pid) + " still running after " +
                                   std::to_string(limit.count()) + "s: killed");
    }
    std::erase_if(children, [](const Child& child) {
        int status = 0;
        pid_t done = waitpid(child.pid, &status, WNOHANG);
        return done == child.pid || (done < 0 && errno == ECHILD);
    });
    startWaiting();
}

std::chrono::steady_clock::time_point CommandRunner::nextDeadline() const
{
    auto next = std::chrono::steady_clock::time_point::max();
    for (const Child& child : children)
        if (!child.killed) next = std::min(next, child.started + limit);
    return next;
}

void CommandRunner::stop()
{
    for (const Waiting& w : queued)
        logMessage(LOG_WARNING, w.event.battery + ": " + std::to_string(w.count) + " " + w.event.name +
                                    (w.count == 1 ? " event" : " events") + " waiting for a slot at exit: not run");
    queued.clear();
    // Each supervisor signals its whole tree, children before parents, while it is whole:
    // signalled together, a parent could die and hand its children over mid-walk.
    for (const Child& child : children) kill(child.pid, SIGTERM);
    // The supervisors' own SIGKILL comes at grace; theirs is the last resort.
    auto end = std::chrono::steady_clock::now() + grace + std::chrono::milliseconds(150);
    while (!children.empty() && std::chrono::steady_clock::now() < end) {
        reap();
        if (!children.empty()) usleep(5000);
    }
    for (const Child& child : children) {
        kill(-child.pid, SIGKILL);
        int status = 0;
        waitpid(child.pid, &status, 0);
    }
    children.clear();
    reader->stop();
}
