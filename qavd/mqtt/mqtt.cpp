// mqtt: publish the battery's state, availability and events to an MQTT broker.
#include "mqtt.h"

#include "clock.h"
#include "discovery.h"
#include "json.h"
#include "libmosquitto.h"
#include "state.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// A connection that goes dark is given up within twice this.
constexpr int keepaliveSeconds = 15;
// The connection thread's longest wait in the library, so that it sees a stop in time.
constexpr int loopMilliseconds = 100;
constexpr std::chrono::seconds firstRetry{1};
constexpr std::chrono::seconds lastRetry{60};
// At exit, how long to wait for the broker to take the goodbye; qavd ends within a second of SIGTERM.
constexpr std::chrono::milliseconds goodbyeTimeout{200};
// The longest password MQTT can carry.
constexpr std::size_t maxPassword = 65535;
// Events kept while the broker is away; the oldest goes first.
constexpr std::size_t keptEvents = 100;
// The longest packet taken from the broker. The library holds a packet whole until its end (MQTT
// allows 256 MiB), and qavd's broker has nothing to send it but acknowledgements of a few bytes.
constexpr std::size_t packetLimit = std::size_t{1} << 20;
// With TLS the bytes counted are the records that carry a packet, whose framing adds up to this.
constexpr std::size_t tlsFraming = std::size_t{32} << 10;
// The most bytes carried at once in each direction.
constexpr std::size_t carryStep = std::size_t{64} << 10;
// A battery's health goes out at most this often in seconds (its age and the time since a full
// charge move with the clock, so it goes out this often even when unchanged), and at once when
// its replace flag or its weak cell changes.
constexpr double healthSeconds = 60;

// A message for a topic prefix that cannot be published under, or "".
std::string prefixError(const std::string& prefix)
{
    if (prefix.empty()) return "must not be empty";
    if (prefix.find_first_of("+#") != std::string::npos) return "must not contain '+' or '#'";
    if (prefix.front() == '/' || prefix.back() == '/') return "must not begin or end with '/'";
    return "";
}

// Whether a line of the library's log says that it read a whole packet from the broker
// ("Client ID received TYPE ...", where the library's own client ID has no spaces).
bool endsPacket(std::string_view line)
{
    if (!line.starts_with("Client ")) return false;
    std::size_t space = line.find(' ', 7);
    return space != std::string_view::npos && line.substr(space).starts_with(" received ");
}

// The bytes between the library and the broker. Once the library has begun to connect, its socket's
// number is given to one end of a socket pair, and the bytes are carried here between the other end
// and the broker's socket. The library is handed no more than a limit of bytes past the end of the
// last packet it finished, which it logs, so it never holds more of a packet than that: once it has
// read the limit without finishing one, the connection ends.
class BrokerPath {
public:
    BrokerPath() = default;
    ~BrokerPath() { detach(); }
    BrokerPath(const BrokerPath&) = delete;
    BrokerPath& operator=(const BrokerPath&) = delete;

    int attach(int librarySocket, std::size_t packetBytes);
    void detach();
    void packetEnded();
    void carry(int timeoutMs, int wake);
    bool overLimit();
    void flush();
    // Why the broker's side ended: an errno, or 0 while it is up or after the broker closed it.
    int brokerError() const { return failure; }

private:
    std::uint64_t waiting() const;
    std::size_t room() const;
    void take(int from, std::string* into, std::size_t most, bool brokerSide);
    void give(int to, std::string* from, bool brokerSide);
    void fail(int error);
    void end();

    int library = -1; // the library's end of the pair, under its socket's number; the library closes it
    int own = -1;     // the other end
    int broker = -1;
    std::size_t limit = 0;
    std::uint64_t handed = 0;      // bytes written to the library
    std::uint64_t packetStart = 0; // where, in those, the packet it reads began
    std::string toLibrary, toBroker;
    std::unique_ptr<char[]> scratch = std::make_unique_for_overwrite<char[]>(carryStep); // what take() reads into
    bool brokerClosed = false;
    bool ended = false;
    int failure = 0;
};

// Stand between the library's socket and the broker, handing the library at most packetBytes of
// one packet; an errno, or 0.
int BrokerPath::attach(int librarySocket, std::size_t packetBytes)
{
    detach();
    if (librarySocket < 0) return EBADF;
    broker = fcntl(librarySocket, F_DUPFD_CLOEXEC, 0);
    int pair[2];
    if (broker < 0 || fcntl(broker, F_SETFL, O_NONBLOCK) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return errno;
    own = pair[1];
    int swapped = dup3(pair[0], librarySocket, O_CLOEXEC);
    int error = errno;
    close(pair[0]);
    if (swapped < 0) return error;
    library = librarySocket;
    limit = packetBytes;
    return 0;
}

// Close this side's sockets and start afresh.
void BrokerPath::detach()
{
    if (own >= 0) close(own);
    if (broker >= 0) close(broker);
    library = own = broker = -1;
    handed = packetStart = 0;
    toLibrary.clear();
    toBroker.clear();
    brokerClosed = ended = false;
    failure = 0;
}

// Bytes handed to the library that it has not read yet (0 should the count fail).
std::uint64_t BrokerPath::waiting() const
{
    int count = 0;
    if (ioctl(library, FIONREAD, &count) != 0 || count < 0) return 0;
    return static_cast<std::uint64_t>(count);
}

// The library has just finished reading a packet: the next one begins where it reads now.
void BrokerPath::packetEnded()
{
    if (library >= 0) packetStart = handed - waiting();
}

// The poll events for reading when in and for writing when out.
short pollEvents(bool in, bool out)
{
    return static_cast<short>((in ? POLLIN : 0) | (out ? POLLOUT : 0));
}

// A socket's pending error, or EIO should there be none to tell.
int socketError(int sd)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(sd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error != 0 ? error : EIO;
}

// How many more bytes of the packet being read the library may be handed now.
std::size_t BrokerPath::room() const
{
    std::uint64_t given = handed + toLibrary.size() - packetStart;
    return given >= limit ? 0 : std::min(carryStep, static_cast<std::size_t>(limit - given));
}

// Wait up to timeoutMs for bytes from the broker or the library, or for wake, and carry them on.
void BrokerPath::carry(int timeoutMs, int wake)
{
    std::size_t most = room();
    bool fromBroker = !ended && !brokerClosed && toLibrary.empty() && most > 0;
    bool fromLibrary = !ended && toBroker.empty();
    pollfd fds[] = {{wake, POLLIN, 0},
                    {ended || brokerClosed ? -1 : broker, pollEvents(fromBroker, !toBroker.empty()), 0},
                    {ended ? -1 : own, pollEvents(fromLibrary, !toLibrary.empty()), 0}};
    if (poll(fds, 3, timeoutMs) < 0) {
        if (errno != EINTR) fail(errno);
        return;
    }
    std::uint64_t count = 0;
    // Nothing to read is no error: a wake-up is only ever a nudge.
    if ((fds[0].revents & POLLIN) != 0 && read(wake, &count, sizeof count) < 0 && errno != EAGAIN) fail(errno);
    if (fromBroker && fds[1].revents != 0) take(broker, &toLibrary, most, true);
    else if ((fds[1].revents & POLLERR) != 0) fail(socketError(broker));
    if (fromLibrary && fds[2].revents != 0) take(own, &toBroker, carryStep, false);
    give(broker, &toBroker, true);
    give(own, &toLibrary, false);
    if (brokerClosed && toLibrary.empty()) end();
}

// Read up to most bytes (at most one carrying step) from a socket into an empty buffer,
// through a scratch buffer that is never cleared, so a read costs what it reads.
void BrokerPath::take(int from, std::string* into, std::size_t most, bool brokerSide)
{
    if (ended) return;
    ssize_t n = read(from, scratch.get(), std::min(most, carryStep));
    into->assign(scratch.get(), n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return;
    if (!brokerSide) end(); // the library closed its end: its connection is over
    else if (n == 0) brokerClosed = true;
    else fail(errno);
}

// Write what a buffer holds to a socket, as much as it takes now.
void BrokerPath::give(int to, std::string* from, bool brokerSide)
{
    if (ended || from->empty()) return;
    ssize_t n = send(to, from->data(), from->size(), MSG_NOSIGNAL);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        if (brokerSide) fail(errno);
        else end();
        return;
    }
    from->erase(0, static_cast<std::size_t>(n));
    if (!brokerSide) handed += static_cast<std::uint64_t>(n);
}

// The broker's side failed with error.
void BrokerPath::fail(int error)
{
    if (failure == 0) failure = error;
    end();
}

// Close the broker's side; the library reads to the end of what it was handed, then the end.
void BrokerPath::end()
{
    if (ended) return;
    ended = true;
    if (broker >= 0) close(broker);
    broker = -1;
    if (own >= 0 && shutdown(own, SHUT_WR) != 0) {
        close(own); // the library sees the end all the same
        own = -1;
    }
}

// Pass on what the library wrote before its connection ended (its goodbye), as far as the broker
// takes it now, and end the broker's side after it.
void BrokerPath::flush()
{
    while (!ended) {
        if (toBroker.empty()) take(own, &toBroker, carryStep, false);
        std::size_t before = toBroker.size();
        give(broker, &toBroker, true);
        if (before == 0 || toBroker.size() == before) break;
    }
    if (broker >= 0 && shutdown(broker, SHUT_WR) != 0) failure = failure != 0 ? failure : errno;
}

// Whether the library has read the limit without finishing a packet; the path ends if so.
bool BrokerPath::overLimit()
{
    if (ended || !toLibrary.empty() || handed - packetStart < limit || waiting() > 0) return false;
    end();
    return true;
}

// The library initialised for as long as one exporter lives.
class MosquittoLibrary {
public:
    explicit MosquittoLibrary(const Mosquitto& functions) : api(functions) { api.libInit(); }
    ~MosquittoLibrary() { api.libCleanup(); }
    MosquittoLibrary(const MosquittoLibrary&) = delete;
    MosquittoLibrary& operator=(const MosquittoLibrary&) = delete;

private:
    const Mosquitto& api;
};

struct MosquittoDestroy {
    const Mosquitto* api;
    void operator()(mosquitto* handle) const { api->destroy(handle); }
};

// The exporter of a site's batteries over one connection: the poll loops' calls record and
// publish; a thread of its own connects, runs the connection and reconnects with a back-off.
class MqttOutput final : public Output {
public:
    MqttOutput(const Mosquitto& functions, MqttOptions settings, const Site& site, MqttLog sink);
    ~MqttOutput() override;
    MqttOutput(const MqttOutput&) = delete;
    MqttOutput& operator=(const MqttOutput&) = delete;

    void state(const BatterySnapshot& snapshot) override;
    void event(const Event& event) override;
    void finish() override;
    std::pair<const char*, std::uint64_t> drops() const override { return {"mqtt_events", droppedEvents.load()}; }

private:
    // An event the broker has not acknowledged yet; mid is its message id while the current
    // client has it in flight, 0 while it waits for a connection.
    struct PendingEvent {
        std::size_t battery; // its index in batteries
        std::string payload;
        int mid = 0;
    };
    // One battery as published: its topics, its discovery configs and what its poll loop handed on.
    struct Battery {
        std::string name;
        MqttTopics topics;
        std::vector<std::pair<std::string, std::string>> discovery; // topic, payload
        BatterySnapshot latest;       // its state after its latest poll; null before the first
        std::string availability;     // what this connection last published on its availability topic
        std::size_t pending = 0;      // its events in pendingEvents
        long droppedSinceConnect = 0; // its pending events dropped for newer ones since the last connection
        std::shared_ptr<const Health> healthSent; // its health as last published on this connection; null before
        double healthSentAt = 0;      // when, on the monotonic clock
    };

    static void onConnect(mosquitto* handle, void* self, int rc);
    static void onDisconnect(mosquitto* handle, void* self, int rc);
    static void onPublish(mosquitto* handle, void* self, int mid);
    static void onLog(mosquitto* handle, void* self, int level, const char* text);
    std::string makeClient();
    void run();
    int connectAndServe();
    bool waitToRetry(std::chrono::seconds delay);
    void noteFailure(int rc, std::chrono::seconds* delay);
    void report(int priority, const std::string& text, const std::string* battery = nullptr);
    bool publish(const std::string& topic, const std::string& payload, bool retain, int* mid = nullptr);
    Battery* find(const std::string& battery);
    void dropOldestEvent(std::size_t battery);
    void publishBattery(Battery& battery);
    void publishAvailability(Battery& battery);
    void publishConnection();
    void publishPendingEvents();
    static bool healthDue(const Battery& battery, double now);
    void publishDueHealth();
    void stopThread();
    std::string failureText(int rc, const std::string& detail) const;

    const Mosquitto& api;
    MosquittoLibrary library;
    MqttOptions options;
    std::string name; // what the connection's log lines begin with: the battery's, or the site's
    MqttLog log;
    std::string connectionTopic; // a site's connection topic, also the last will; empty with one battery
    std::vector<Battery> batteries; // in the site's order; its size never changes
    std::map<std::string, std::size_t, std::less<>> places; // each battery's place in batteries
    std::unique_ptr<mosquitto, MosquittoDestroy> handle;
    int wakeFd = -1;  // an eventfd that wakes the connection thread for what was queued
    BrokerPath path;  // only the connection thread uses it

    std::mutex mutex; // guards everything below
    std::condition_variable wake;
    bool connected = false;    // between a CONNACK that accepted and the disconnect
    std::string connection;    // what this connection last published on connectionTopic
    bool finishing = false;    // finish() began: no more reconnects
    bool stopping = false;     // the thread must end
    std::deque<PendingEvent> pendingEvents; // not yet acknowledged, every battery's, oldest first
    bool publishFailed = false;   // a publish failed on the current connection (logged once)
    std::string refusal;       // why the broker refused the current attempt
    bool attemptConnected = false; // the current attempt reached the broker and was accepted
    int attemptErrno = 0;      // errno when the current attempt ended
    int pathErrno = 0;         // the broker's socket's error when the current attempt ended, or 0
    bool oversized = false;    // the current attempt ended on a packet over the limit
    int failures = 0;          // failed attempts since the last connection

    // The library calls onLog with a lock of its own held, also while a publish() holds
    // the mutex above, so the log line has a lock that is never held around other locks.
    std::mutex libraryErrorMutex;
    std::string libraryError;  // the library's latest error log line
    std::atomic<std::uint64_t> droppedEvents{0}; // pending events dropped since the start
    std::thread thread;
};

MqttOutput::MqttOutput(const Mosquitto& functions, MqttOptions settings, const Site& site, MqttLog sink)
    : api(functions), library(functions), options(std::move(settings)),
      name(site.several() ? site.name : site.batteries.front().name), log(sink ? std::move(sink) : MqttLog(logMessage)),
      connectionTopic(site.several() ? options.topicPrefix + "/" + site.name + "/connection" : "")
{
    for (const DaemonOptions& each : site.batteries) {
        places.emplace(each.name, batteries.size());
        Battery& battery = batteries.emplace_back();
        battery.name = each.name;
        battery.topics = mqttTopics(options.topicPrefix, each.name);
        battery.topics.connection = connectionTopic;
        if (!options.discovery) continue;
        std::vector<DiscoveryConfig> configs = discoveryConfigs(battery.topics, options.discoveryPrefix, each.name,
                                                                each.lowBattery, each.lowRuntime,
                                                                batteryPageUrl(site, each.name));
        std::transform(configs.begin(), configs.end(), std::back_inserter(battery.discovery),
                       [](const DiscoveryConfig& config) { return std::pair(config.topic, config.payload.dump()); });
    }
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) throw std::runtime_error(std::string("MQTT: cannot make an eventfd: ") + std::strerror(errno));
    if (std::string problem = makeClient(); !problem.empty()) {
        close(wakeFd);
        throw std::runtime_error(problem);
    }
    thread = std::thread([this] { run(); });
}

// End the thread, then close what it used.
MqttOutput::~MqttOutput()
{
    stopThread();
    close(wakeFd);
}

// Make a new client (last will, credentials, TLS and callbacks) in place of the last one, so
// that nothing of an ended connection lingers in the library; a message, or "".
std::string MqttOutput::makeClient()
{
    std::unique_ptr<mosquitto, MosquittoDestroy> made(api.create(nullptr, true, this), MosquittoDestroy{&api});
    if (!made) return std::string("MQTT: cannot make a client: ") + std::strerror(errno);
    mosquitto* h = made.get();
    api.threadedSet(h, true);
    const std::string& will = connectionTopic.empty() ? batteries.front().topics.availability : connectionTopic;
    if (api.willSet(h, will.c_str(), 7, "offline", 0, true) != MOSQ_ERR_SUCCESS)
        return "MQTT: cannot set the last will on " + will;
    if (!options.username.empty() &&
        api.usernamePwSet(h, options.username.c_str(),
                          options.password.empty() ? nullptr : options.password.c_str()) != MOSQ_ERR_SUCCESS)
        return "MQTT: cannot set the user name";
    if (!options.cafile.empty() &&
        api.tlsSet(h, options.cafile.c_str(), nullptr, nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS)
        return "--mqtt-cafile: cannot use " + options.cafile + " as CA certificates";
    api.connectCallbackSet(h, onConnect);
    api.disconnectCallbackSet(h, onDisconnect);
    api.publishCallbackSet(h, onPublish);
    api.logCallbackSet(h, onLog);
    std::unique_ptr<mosquitto, MosquittoDestroy> old; // destroyed after the lock is released
    std::lock_guard lock(mutex);
    connected = false;
    // Events in flight on the old client go out again, in order, on the next connection.
    for (PendingEvent& pending : pendingEvents) pending.mid = 0;
    old = std::exchange(handle, std::move(made));
    return "";
}

// The connection thread: connect, serve until the connection ends, wait, and again.
void MqttOutput::run()
{
    std::chrono::seconds delay = firstRetry;
    for (bool first = true;; first = false) {
        if (std::string problem = first ? "" : makeClient(); !problem.empty()) {
            report(LOG_ERR, problem);
            if (!waitToRetry(lastRetry)) return;
            continue;
        }
        {
            std::unique_lock lock(mutex);
            if (finishing || stopping) {
                wake.wait(lock, [this] { return stopping; });
                return;
            }
            refusal.clear();
            attemptConnected = oversized = false;
        }
        {
            std::lock_guard lock(libraryErrorMutex);
            libraryError.clear();
        }
        noteFailure(connectAndServe(), &delay);
        if (!waitToRetry(delay)) return;
        delay = std::min(delay * 2, lastRetry);
    }
}

// One attempt: connect, then carry the connection's bytes and run the library until it ends; the
// library's result.
int MqttOutput::connectAndServe()
{
    int rc = api.connectAsync(handle.get(), options.host.c_str(), options.port, keepaliveSeconds);
    std::size_t limit = options.cafile.empty() ? packetLimit : packetLimit + tlsFraming;
    if (int error = rc == MOSQ_ERR_SUCCESS ? path.attach(api.socket(handle.get()), limit) : 0; error != 0) {
        errno = error;
        rc = MOSQ_ERR_ERRNO;
    }
    bool over = false;
    while (rc == MOSQ_ERR_SUCCESS) {
        {
            std::lock_guard lock(mutex);
            if (stopping) break;
        }
        path.carry(loopMilliseconds, wakeFd);
        rc = api.loop(handle.get(), 0, 1);
        // The library then reads the end of the connection and says it is lost.
        if (rc == MOSQ_ERR_SUCCESS && path.overLimit()) over = true;
        if (rc == MOSQ_ERR_SUCCESS) publishDueHealth();
    }
    int error = errno;
    path.flush();
    int pathError = path.brokerError();
    path.detach();
    std::lock_guard lock(mutex);
    attemptErrno = error;
    pathErrno = pathError;
    oversized = over;
    return rc;
}

// Sleep for delay unless the exporter stops first; false when it stops.
bool MqttOutput::waitToRetry(std::chrono::seconds delay)
{
    std::unique_lock lock(mutex);
    wake.wait_for(lock, delay, [this] { return stopping || finishing; });
    return !stopping && !finishing;
}

// Log why an attempt failed or a connection ended (the first ten in a row each, then one
// in 100); after a connection, retry soon again.
void MqttOutput::noteFailure(int rc, std::chrono::seconds* delay)
{
    std::lock_guard lock(mutex);
    if (attemptConnected) *delay = firstRetry;
    if (finishing || stopping) return;
    failures++;
    if (failures > 10 && failures % 100 != 0) return;
    std::string detail;
    {
        std::lock_guard errorLock(libraryErrorMutex);
        detail = libraryError;
    }
    std::string why = failureText(rc, detail);
    std::string text = (attemptConnected ? "connection lost: " : "cannot connect: ") + why + "; retrying in " +
                       std::to_string(delay->count()) + " s";
    if (failures == 10) text += " (from now on one failure in 100 is logged)";
    report(LOG_WARNING, text);
}

// Why an attempt ended, from the library's result rc and its last error line; the caller holds the mutex.
std::string MqttOutput::failureText(int rc, const std::string& detail) const
{
    std::string why;
    if (!refusal.empty()) why = "refused: " + refusal;
    else if (oversized) why = "the broker sent a packet larger than 1 MiB";
    else if (pathErrno != 0) why = std::strerror(pathErrno);
    // The library reads past the end of the connection within a packet as an error without an errno.
    else if (rc == MOSQ_ERR_ERRNO) why = attemptErrno == 0 ? "protocol error: the connection ended within a packet"
                                                          : std::strerror(attemptErrno);
    else if (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET || rc == MOSQ_ERR_MALFORMED_UTF8 ||
             rc == MOSQ_ERR_DUPLICATE_PROPERTY)
        why = "protocol error: " + (detail.empty() || rc != MOSQ_ERR_PROTOCOL ? std::string(api.strerror(rc)) : detail);
    else why = detail.empty() ? std::string(api.strerror(rc)) : std::string(api.strerror(rc)) + " " + detail;
    if (!why.empty() && why.back() == '.') why.pop_back();
    return why;
}

// The broker's answer to an attempt: on success publish each battery's discovery, latest state and
// availability, then the connection's, then the events that waited. The mutex is let go between
// batteries, so that a poll loop never waits for a whole site's burst.
void MqttOutput::onConnect(mosquitto* /*handle*/, void* self, int rc)
{
    auto* output = static_cast<MqttOutput*>(self);
    {
        std::lock_guard lock(output->mutex);
        if (rc != 0) {
            output->refusal = output->api.connackString(rc);
            return;
        }
        output->report(LOG_NOTICE, output->failures == 0 ? std::string("connected")
                                   : "connected after " + std::to_string(output->failures) + " failed attempts");
        output->connected = output->attemptConnected = true;
        output->connection.clear();
        output->failures = 0;
        output->publishFailed = false;
    }
    for (Battery& battery : output->batteries) {
        std::lock_guard lock(output->mutex);
        // Only this thread ends the connection, but finish() may have said goodbye meanwhile.
        if (output->finishing) return;
        output->publishBattery(battery);
    }
    std::lock_guard lock(output->mutex);
    if (output->finishing) return;
    output->publishConnection();
    output->publishPendingEvents();
}

// On a new connection: one battery's discovery, latest state and availability, and a word on the
// events it dropped meanwhile; the caller holds the mutex and has seen the connection up.
void MqttOutput::publishBattery(Battery& battery)
{
    for (const auto& [topic, payload] : battery.discovery) publish(topic, payload, true);
    if (battery.latest && battery.latest->reading) publish(battery.topics.state, battery.latest->reading->json(), true);
    battery.availability.clear();
    battery.healthSent.reset(); // the connection thread publishes it next
    publishAvailability(battery);
    if (battery.droppedSinceConnect > 0)
        report(LOG_WARNING, std::to_string(battery.droppedSinceConnect) + " events raised while it was away were dropped; "
                            "the last " + std::to_string(keptEvents) + " follow", &battery.name);
    battery.droppedSinceConnect = 0;
}

// The connection ended, cleanly or not.
void MqttOutput::onDisconnect(mosquitto* /*handle*/, void* self, int /*rc*/)
{
    auto* output = static_cast<MqttOutput*>(self);
    std::lock_guard lock(output->mutex);
    output->connected = false;
    output->wake.notify_all();
}

// The broker acknowledged an event: it leaves the queue.
void MqttOutput::onPublish(mosquitto* /*handle*/, void* self, int mid)
{
    auto* output = static_cast<MqttOutput*>(self);
    std::lock_guard lock(output->mutex);
    auto& pending = output->pendingEvents;
    auto acknowledged = std::find_if(pending.begin(), pending.end(), [mid](const PendingEvent& p) { return p.mid == mid; });
    if (acknowledged != pending.end()) {
        output->batteries[acknowledged->battery].pending--;
        pending.erase(acknowledged);
    }
    output->wake.notify_all();
}

// Note each packet the library has read whole, and keep its latest error line (OpenSSL's reason
// for a failed handshake, say).
void MqttOutput::onLog(mosquitto* /*handle*/, void* self, int level, const char* text)
{
    if (text == nullptr) return;
    auto* output = static_cast<MqttOutput*>(self);
    // Only the connection thread reads packets, so only it comes here for them.
    if (level == MOSQ_LOG_DEBUG && endsPacket(text)) output->path.packetEnded();
    if (level != MOSQ_LOG_ERR) return;
    std::string line = text;
    line.erase(line.find_last_not_of(" \n") + 1);
    if (line.starts_with("Error: ")) line.erase(0, 7);
    std::lock_guard lock(output->libraryErrorMutex);
    output->libraryError = line;
}

// Log a text about the broker, naming the battery (@p battery, or the connection's) and the broker.
void MqttOutput::report(int priority, const std::string& text, const std::string* battery)
{
    log(priority, (battery != nullptr ? *battery : name) + ": MQTT broker " + options.host + ":" +
                      std::to_string(options.port) + ": " + text);
}

// Hand one message to the library (QoS 1 when mid is given, which receives its id); false,
// logged once per connection, when the library refuses it. The caller holds the mutex and
// has seen the connection up.
bool MqttOutput::publish(const std::string& topic, const std::string& payload, bool retain, int* mid)
{
    int rc = api.publish(handle.get(), mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                         mid != nullptr ? 1 : 0, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        // A counter that is already high enough to wake the thread refuses more, which is no loss.
        std::uint64_t one = 1;
        if (write(wakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
            report(LOG_WARNING, std::string("cannot wake the connection thread: ") + std::strerror(errno));
        return true;
    }
    if (!publishFailed) report(LOG_WARNING, "cannot publish on " + topic + ": " + api.strerror(rc));
    publishFailed = true;
    return false;
}

// A battery's "online" while its data is fresh and the exporter runs, else "offline", when that
// changed; the caller holds the mutex and has seen the connection up.
void MqttOutput::publishAvailability(Battery& battery)
{
    const BatterySnapshot& latest = battery.latest;
    bool fresh = latest && latest->fresh && latest->reading;
    std::string now = fresh && !finishing ? "online" : "offline";
    if (now == battery.availability) return;
    battery.availability = now;
    publish(battery.topics.availability, battery.availability, true);
}

// In a site, the connection's "online" while the exporter runs, else "offline", when that changed;
// the caller holds the mutex and has seen the connection up.
void MqttOutput::publishConnection()
{
    std::string now = finishing ? "offline" : "online";
    if (connectionTopic.empty() || now == connection) return;
    connection = now;
    publish(connectionTopic, connection, true);
}

// The battery of that name; null for one the site does not have. The caller holds the mutex.
MqttOutput::Battery* MqttOutput::find(const std::string& battery)
{
    auto found = places.find(battery);
    return found == places.end() ? nullptr : &batteries[found->second];
}

// Keep the battery's state; while connected, publish a new answer's state, then the availability
// its freshness gives (so a new answer's state goes out before "online", and going stale says
// "offline" at once).
void MqttOutput::state(const BatterySnapshot& snapshot)
{
    std::lock_guard lock(mutex);
    Battery* battery = find(snapshot->battery);
    if (battery == nullptr) return;
    const BatterySnapshot& latest = battery->latest;
    bool newAnswer = snapshot->fresh && snapshot->reading && (!latest || snapshot->reading != latest->reading);
    battery->latest = snapshot;
    if (!connected) return;
    if (newAnswer) publish(battery->topics.state, snapshot->reading->json(), true);
    publishAvailability(*battery);
}

// Whether a battery's health is due: not yet published on this connection, its replace flag or
// weak cell changed, or healthSeconds passed; the caller holds the mutex.
bool MqttOutput::healthDue(const Battery& battery, double now)
{
    if (!battery.latest) return false;
    const Health& health = *battery.latest->health;
    const std::shared_ptr<const Health>& sent = battery.healthSent;
    return !sent || health.replace != sent->replace || health.weakCell != sent->weakCell ||
           now - battery.healthSentAt >= healthSeconds;
}

// Publish, retained, the health of each battery whose health is due. Only the connection thread
// comes here: it renders outside the mutex, so that a poll loop never waits for the rendering.
void MqttOutput::publishDueHealth()
{
    std::vector<std::pair<std::size_t, std::shared_ptr<const Health>>> due;
    double now = monotonicSeconds();
    {
        std::lock_guard lock(mutex);
        if (!connected || finishing) return;
        for (std::size_t i = 0; i < batteries.size(); i++)
            if (healthDue(batteries[i], now)) due.emplace_back(i, batteries[i].latest->health);
    }
    if (due.empty()) return;
    auto wall = static_cast<long long>(wallSeconds());
    std::vector<std::string> payloads;
    payloads.reserve(due.size());
    for (const auto& [index, health] : due)
        payloads.push_back(healthState(*health, wall).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::lock_guard lock(mutex);
    // Either may have changed while the payloads were made without the lock.
    // cppcheck-suppress knownConditionTrueFalse
    if (!connected || finishing) return;
    for (std::size_t k = 0; k < due.size(); k++) {
        Battery& battery = batteries[due[k].first];
        if (!publish(battery.topics.health, payloads[k], true)) return;
        battery.healthSent = due[k].second;
        battery.healthSentAt = now;
    }
}

// Queue the event (with its own time) until the broker acknowledges it, at most keptEvents of
// each battery; publish it while connected.
void MqttOutput::event(const Event& event)
{
    nlohmann::json object = {{"event", event.name}, {"detail", event.detail}, {"time", event.time}};
    std::string payload = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard lock(mutex);
    Battery* battery = find(event.battery);
    if (battery == nullptr) return;
    auto index = static_cast<std::size_t>(battery - batteries.data());
    if (battery->pending == keptEvents) dropOldestEvent(index);
    pendingEvents.push_back({index, std::move(payload), 0});
    battery->pending++;
    if (connected) publishPendingEvents();
}

// Drop the oldest pending event of one battery, so that one battery's flood never costs another
// its events; the caller holds the mutex.
void MqttOutput::dropOldestEvent(std::size_t battery)
{
    auto oldest = std::find_if(pendingEvents.begin(), pendingEvents.end(),
                               [battery](const PendingEvent& p) { return p.battery == battery; });
    if (oldest == pendingEvents.end()) return;
    pendingEvents.erase(oldest);
    batteries[battery].pending--;
    batteries[battery].droppedSinceConnect++;
    droppedEvents++;
}

// Publish at QoS 1, in the order raised, the queued events the current client does not have
// in flight yet; the caller holds the mutex and has seen the connection up.
void MqttOutput::publishPendingEvents()
{
    for (PendingEvent& pending : pendingEvents) {
        if (pending.mid != 0) continue;
        // A refusal leaves this event and the later ones for the next connection, in order.
        if (!publish(batteries[pending.battery].topics.event, pending.payload, false, &pending.mid)) {
            pending.mid = 0;
            return;
        }
    }
}

// Say "offline", disconnect cleanly (waiting a little for it), and end the thread.
void MqttOutput::finish()
{
    {
        std::unique_lock lock(mutex);
        if (finishing) return;
        finishing = true;
        wake.notify_all();
        if (connected) {
            // Events raised just before the exit get a moment for their acknowledgement.
            wake.wait_for(lock, goodbyeTimeout, [this] { return pendingEvents.empty() || !connected; });
        }
        if (connected) {
            publishConnection();
            for (Battery& battery : batteries) publishAvailability(battery);
            api.disconnect(handle.get());
            wake.wait_for(lock, goodbyeTimeout, [this] { return !connected; });
        }
    }
    stopThread();
}

// Tell the connection thread to end and wait for it.
void MqttOutput::stopThread()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
        wake.notify_all();
    }
    if (thread.joinable()) thread.join();
}

} // namespace

std::string parseBrokerAddress(const std::string& address, MqttOptions* options)
{
    std::string host, port;
    bool hasPort = false;
    if (!address.empty() && address.front() == '[') {
        std::size_t close = address.find(']');
        if (close == std::string::npos) return "missing ']' after the IPv6 address";
        host = address.substr(1, close - 1);
        in6_addr v6{};
        if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) return "expected an IPv6 address between '[' and ']'";
        std::string rest = address.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return "expected ':PORT' after ']'";
        hasPort = !rest.empty();
        if (hasPort) port = rest.substr(1);
    } else {
        std::size_t colon = address.find(':');
        hasPort = colon != std::string::npos;
        host = address.substr(0, colon);
        if (hasPort) port = address.substr(colon + 1);
        if (host.empty()) return "missing host (an IPv6 address goes in brackets, such as [::1]:1883)";
        bool name = std::all_of(host.begin(), host.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
        });
        if (!name) return "the host must be a name or an IPv4 address";
    }
    int number = hasPort ? portNumber(port, 1) : 0;
    if (number < 0) return portProblem;
    options->host = host;
    options->port = number;
    return "";
}

bool readPasswordFile(const std::string& path, std::string* password, std::string* error)
{
    // No more than the longest password, its line end and one byte to tell it is too long.
    std::string line;
    *error = readStartFile(path, maxPassword + 2, true, &line);
    if (!error->empty()) return false;
    if (line.empty()) {
        *error = path + " is empty";
        return false;
    }
    line.erase(std::min(line.find('\n'), line.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.size() > maxPassword) {
        *error = path + (line.empty() ? " has an empty first line" : " has a first line longer than MQTT allows");
        return false;
    }
    if (std::string warning = exposedSecret(path); !warning.empty()) logMessage(LOG_WARNING, warning);
    *password = line;
    return true;
}

void addMqttOptions(CLI::App& app, MqttOptions& options)
{
    const char* group = "MQTT";
    CLI::Option* broker = app.add_option_function<std::string>(
        "--mqtt-broker",
        [&options](const std::string& address) {
            std::string error = parseBrokerAddress(address, &options);
            if (!error.empty()) throw CLI::ValidationError("--mqtt-broker", address + ": " + error);
        },
        "Publish to the MQTT broker at HOST[:PORT] (port 1883, or 8883 with --mqtt-cafile)");
    broker->type_name("HOST[:PORT]")->group(group);
    CLI::Option* user = app.add_option("--mqtt-username", options.username, "User name at the broker");
    user->type_name("NAME")->group(group)->needs(broker);
    app.add_option_function<std::string>(
           "--mqtt-password-file",
           [&options](const std::string& path) {
               std::string error;
               if (!readPasswordFile(path, &options.password, &error))
                   throw CLI::ValidationError("--mqtt-password-file", error);
           },
           "Read the broker password from the first line of FILE (default with --mqtt-username: "
           "$CREDENTIALS_DIRECTORY/mqtt-password when it exists)")
        ->type_name("FILE")->group(group)->needs(user);
    app.add_option("--mqtt-cafile", options.cafile, "Connect with TLS, trusting the CA certificates in FILE")
        ->type_name("FILE")->group(group)->needs(broker)->check(startFile());
    auto prefixCheck = CLI::Validator(prefixError, "");
    app.add_option("--mqtt-topic-prefix", options.topicPrefix, "First levels of the state, availability and event topics")
        ->type_name("PREFIX")->capture_default_str()->group(group)->check(prefixCheck);
    app.add_option("--mqtt-discovery-prefix", options.discoveryPrefix,
                   "Home Assistant's discovery prefix")
        ->type_name("PREFIX")->capture_default_str()->group(group)->check(prefixCheck);
    app.add_flag_callback("--no-mqtt-discovery", [&options] { options.discovery = false; },
                          "Publish no Home Assistant discovery configs")
        ->group(group);
}

std::unique_ptr<Output> startMqtt(const MqttOptions& options, const Site& site, std::string* problem, MqttLog log)
{
    const Mosquitto* api = loadMosquitto(problem);
    if (api == nullptr) return nullptr;
    for (const auto& [option, prefix] : {std::pair("--mqtt-topic-prefix", &options.topicPrefix),
                                         std::pair("--mqtt-discovery-prefix", &options.discoveryPrefix)}) {
        if (api->validateUtf8(prefix->c_str(), static_cast<int>(prefix->size())) != MOSQ_ERR_SUCCESS) {
            *problem = std::string(option) + ": must be UTF-8 text";
            return nullptr;
        }
    }
    MqttOptions resolved = options;
    if (resolved.port == 0) resolved.port = options.cafile.empty() ? 1883 : 8883;
    try {
        return std::make_unique<MqttOutput>(*api, resolved, site, std::move(log));
    } catch (const std::exception& error) {
        *problem = error.what();
        return nullptr;
    }
}

std::unique_ptr<Output> startMqtt(const MqttOptions& options, const std::string& name, std::string* problem,
                                  MqttLog log)
{
    DaemonOptions battery;
    battery.name = name;
    battery.lowBattery = options.lowBattery;
    battery.lowRuntime = options.lowRuntime;
    battery.publicUrl = options.pageUrl;
    return startMqtt(options, Site{name, {battery}}, problem, std::move(log));
}

bool addMqttOutput(Outputs& outputs, const MqttOptions& options, const Site& site, std::string* problem)
{
    if (options.host.empty()) return true;
    MqttOptions resolved = options;
    // Without --mqtt-password-file, the password systemd passed as a credential, if any.
    std::string credential = credentialPath("mqtt-password");
    if (!resolved.username.empty() && resolved.password.empty() && !credential.empty() &&
        !readPasswordFile(credential, &resolved.password, problem))
        return false;
    std::unique_ptr<Output> output = startMqtt(resolved, site, problem);
    if (!output) return false;
    outputs.add(std::move(output));
    return true;
}
