// scrape_load: GET /metrics from 127.0.0.1:PORT at a steady rate and report failures and latencies.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One scrape on its own connection: true when the answer is a 200 with qav_up in it.
bool scrapeOnce(int port)
{
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (send(sd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char chunk[16384];
            for (ssize_t n = 0; (n = recv(sd, chunk, sizeof chunk, 0)) > 0;)
                answer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(sd);
    return answer.rfind("HTTP/1.1 200 ", 0) == 0 && answer.find("\nqav_up{") != std::string::npos;
}

// The value at fraction q of the sorted samples.
double quantile(const std::vector<double>& sorted, double q)
{
    if (sorted.empty()) return 0;
    auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[at];
}

} // namespace

// usage: scrape_load PORT RATE SECONDS
int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: scrape_load PORT RATE SECONDS\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    double rate = std::atof(argv[2]);
    auto count = static_cast<long>(rate * std::atof(argv[3]));
    std::vector<double> latencies;
    long failed = 0;
    Clock::time_point start = Clock::now();
    for (long i = 0; i < count; i++) {
        // Start to start: a late scrape is followed at once, none is left out.
        std::this_thread::sleep_until(start + std::chrono::duration<double>(static_cast<double>(i) / rate));
        Clock::time_point begin = Clock::now();
        if (!scrapeOnce(port)) failed++;
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    std::printf("scrapes %ld failed %ld seconds %.3f median_ms %.3f p99_ms %.3f max_ms %.3f\n", count, failed,
                seconds, quantile(latencies, 0.5), quantile(latencies, 0.99),
                latencies.empty() ? 0.0 : latencies.back());
    return failed == 0 ? 0 : 1;
}
