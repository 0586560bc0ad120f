// nut_load: NUT requests to 127.0.0.1:PORT, as round trips on one connection or as many clients polling.
// usage: nut_load PORT UPS rtt COUNT
//        nut_load PORT UPS clients N INTERVAL SECONDS [persistent]
// With clients, each of N threads polls GET VAR UPS ups.status every INTERVAL seconds
// (start to start) for SECONDS, on a new connection each time (connect, request, LOGOUT)
// unless persistent; a poll that ends after the next one was due counts as missed.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A blocking connection to 127.0.0.1:port with a 5 s receive timeout; -1 when refused.
int connectTo(int port)
{
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sd;
    close(sd);
    return -1;
}

// Send request and read until the reply ends with end; whether it began with expected.
bool ask(int sd, const std::string& request, const std::string& expected, const std::string& end)
{
    if (send(sd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    std::string reply;
    char chunk[4096];
    while (reply.size() < end.size() || reply.compare(reply.size() - end.size(), end.size(), end) != 0) {
        ssize_t n = recv(sd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    return reply.rfind(expected, 0) == 0;
}

// Milliseconds at a quantile of sorted durations.
double quantileMs(const std::vector<double>& sorted, double q)
{
    if (sorted.empty()) return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * static_cast<double>(sorted.size())))] * 1000;
}

// What the clients saw, gathered under a lock.
struct Tally {
    std::mutex mutex;
    long polls = 0, missed = 0, refused = 0;
    std::vector<double> seconds;
};

// One client: poll at its slots until the end, on one connection or a new one each time.
void poll(int port, const std::string& ups, double interval, Clock::time_point start, Clock::time_point end,
          bool persistent, Tally* tally)
{
    const std::string request = "GET VAR " + ups + " ups.status\n";
    int sd = -1;
    for (long k = 0; start + std::chrono::duration<double>(interval * static_cast<double>(k)) < end; k++) {
        auto slot = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval * static_cast<double>(k)));
        std::this_thread::sleep_until(slot);
        auto began = Clock::now();
        if (sd < 0) sd = connectTo(port);
        bool ok = sd >= 0 && ask(sd, request, "VAR " + ups + " ups.status \"", "\n");
        if (!persistent && sd >= 0) {
            ok = ok && ask(sd, "LOGOUT\n", "OK Goodbye", "\n");
            close(sd);
            sd = -1;
        }
        double took = std::chrono::duration<double>(Clock::now() - began).count();
        std::lock_guard<std::mutex> lock(tally->mutex);
        tally->polls++;
        tally->refused += ok ? 0 : 1;
        tally->missed += Clock::now() > slot + std::chrono::duration<double>(interval) ? 1 : 0;
        tally->seconds.push_back(took);
    }
    if (sd >= 0) close(sd);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: nut_load PORT UPS rtt COUNT | nut_load PORT UPS clients N INTERVAL SECONDS [persistent]\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::string ups = argv[2], mode = argv[3];
    Tally tally;
    if (mode == "rtt") {
        int sd = connectTo(port);
        for (long i = 0; i < std::atol(argv[4]); i++) {
            auto began = Clock::now();
            bool ok = sd >= 0 && ask(sd, "GET VAR " + ups + " battery.charge\n", "VAR ", "\n");
            tally.seconds.push_back(std::chrono::duration<double>(Clock::now() - began).count());
            tally.polls++;
            tally.refused += ok ? 0 : 1;
        }
    } else if (argc >= 7) {
        auto start = Clock::now() + std::chrono::milliseconds(100);
        auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::atof(argv[6])));
        std::vector<std::thread> clients;
        for (int i = 0; i < std::atoi(argv[4]); i++)
            clients.emplace_back(poll, port, ups, std::atof(argv[5]), start, end, argc > 7, &tally);
        for (std::thread& client : clients) client.join();
    }
    std::sort(tally.seconds.begin(), tally.seconds.end());
    std::printf("requests %ld failed %ld missed %ld median %.3f ms p99 %.3f ms\n", tally.polls, tally.refused,
                tally.missed, quantileMs(tally.seconds, 0.5), quantileMs(tally.seconds, 0.99));
    return tally.refused == 0 && tally.missed == 0 ? 0 : 1;
}
