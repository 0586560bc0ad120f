// admission: how the daemon's servers let clients in.
#include "admission.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <unistd.h>

std::string Peer::text() const
{
    return address + ":" + std::to_string(port);
}

Peer peerOf(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN];
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    bool isV6 = address.ss_family == AF_INET6;
    if ((address.ss_family != AF_INET && !isV6) ||
        inet_ntop(address.ss_family, isV6 ? static_cast<const void*>(&v6->sin6_addr) : &v4->sin_addr, text,
                  sizeof text) == nullptr)
        return Peer{"?", 0};
    return Peer{text, ntohs(isV6 ? v6->sin6_port : v4->sin_port)};
}

std::unique_ptr<Gate> Gate::open(const HostPort& where, const std::string& failure, std::string* problem)
{
    int bound = 0;
    int listener = listenSocket(where, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (listener < 0 || (bound = ::boundPort(listener)) == 0) {
        *problem = failure + std::strerror(errno);
        if (listener >= 0) close(listener);
        return nullptr;
    }
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        *problem = failure + "eventfd: " + std::strerror(errno);
        close(listener);
        return nullptr;
    }
    return std::unique_ptr<Gate>(new Gate(listener, wake, bound));
}

Gate::Gate(int listenFd, int wakeFd, int port) : listener(listenFd), wake(wakeFd), boundPort(port) {}

Gate::~Gate()
{
    close(listener);
    close(wake);
}

void Gate::watch(pollfd* wakeEntry, pollfd* listenEntry) const
{
    *wakeEntry = {wake, POLLIN, 0};
    *listenEntry = {AdmissionClock::now() >= restUntil ? listener : -1, POLLIN, 0};
}

std::string Gate::acceptSome(std::size_t most, const Taker& take)
{
    for (std::size_t n = 0; n < most; n++) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return "";
        if (fd < 0) {
            std::string reason = std::strerror(errno);
            restUntil = AdmissionClock::now() + acceptRest;
            return reason;
        }
        take(fd, address, size);
    }
    return "";
}

void Gate::wakeUp() const
{
    std::uint64_t one = 1;
    if (write(wake, &one, sizeof one) < 0) {
        // Only when the counter is near overflow, and the serving thread is awake then anyway.
    }
}

bool Gate::takeWakeUps() const
{
    std::uint64_t count = 0;
    return read(wake, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

void Gate::stop()
{
    stopAsked = true;
    wakeUp();
}

namespace {

// Whether an occupant is in the scope of a limit: from address, or any when address is null.
bool within(const Occupant& o, const std::string_view* address)
{
    return address == nullptr || o.address == *address;
}

// The occupant in scope idle longest whose login is @p loggedIn (and, if so, as @p user), or null.
const Occupant* idlest(const std::vector<Occupant>& open, const std::string_view* address, bool loggedIn,
                       std::string_view user = {})
{
    const Occupant* found = nullptr;
    for (const Occupant& o : open)
        if (within(o, address) && o.loggedIn == loggedIn && (!loggedIn || o.user == user) &&
            (found == nullptr || o.since < found->since))
            // A filtered minimum reads more plainly as a loop.
            // cppcheck-suppress useStlAlgorithm
            found = &o;
    return found;
}

// Among the logged-in occupants in scope, the idlest of the user who holds the most, when that
// is more than a share of limit: limit divided among the users logged in and the newcomer.
// Null when no user holds more. Why, in *why.
const Occupant* overShare(const std::vector<Occupant>& open, const std::string_view* address, std::size_t limit,
                          std::string* why)
{
    std::map<std::string_view, std::size_t> held;
    for (const Occupant& o : open)
        if (o.loggedIn && within(o, address)) held[o.user]++;
    auto most = std::max_element(held.begin(), held.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    std::size_t share = limit / (held.size() + 1);
    if (most == held.end() || most->second <= std::max<std::size_t>(share, 1)) return nullptr;
    *why = "user " + std::string(most->first) + " holds " + std::to_string(most->second) +
           ", more than its share of " + std::to_string(share) + "; this one idle longest";
    return idlest(open, address, true, most->first);
}

} // namespace

Admission admission(const std::vector<Occupant>& open, std::string_view address, const AdmissionLimits& limits)
{
    auto there = std::count_if(open.begin(), open.end(), [&](const Occupant& o) { return o.address == address; });
    std::size_t fromAddress = static_cast<std::size_t>(there);
    bool addressFull = fromAddress >= limits.perAddress;
    if (!addressFull && open.size() < limits.total) return {};
    Admission verdict;
    verdict.limit = addressFull ? std::to_string(limits.perAddress) + " connections from " + std::string(address)
                                : std::to_string(limits.total) + " connections";
    verdict.why = "this one idle longest";
    const std::string_view* scope = addressFull ? &address : nullptr;
    const Occupant* victim = idlest(open, scope, false);
    if (victim == nullptr)
        victim = overShare(open, scope, addressFull ? limits.perAddress : limits.total, &verdict.why);
    verdict.admit = victim != nullptr;
    verdict.evict = victim != nullptr ? victim->fd : -1;
    return verdict;
}

PollWait::PollWait() : next(AdmissionClock::now() + std::chrono::seconds(1)) {}

void PollWait::until(AdmissionClock::time_point deadline)
{
    next = std::min(next, deadline);
}

int PollWait::ms() const
{
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - AdmissionClock::now()).count();
    return static_cast<int>(std::max<decltype(ms)>(ms, 0));
}
