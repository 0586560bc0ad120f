// nut_client: a plain TCP client for the NUT tests, which sends request lines and reads whole replies.
#ifndef QAV_TESTS_NUT_CLIENT_H
#define QAV_TESTS_NUT_CLIENT_H

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class NutClient {
public:
    // Connect to 127.0.0.1:port from the loopback address from (the requests fail when that does not work).
    explicit NutClient(int port, const char* from = "127.0.0.1") : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in self{AF_INET, 0, {}, {}};
        sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (inet_pton(AF_INET, from, &self.sin_addr) != 1 || bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            hangUp();
    }
    ~NutClient() { hangUp(); }
    NutClient(const NutClient&) = delete;
    NutClient& operator=(const NutClient&) = delete;

    void hangUp()
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    bool send(const std::string& bytes)
    {
        return fd >= 0 && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Read until what came ends with end, the server closes, or seconds pass; what came.
    std::string readUntil(const std::string& end, double seconds = 5)
    {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (fd >= 0 && !endsWith(text, end)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            char chunk[4096];
            ssize_t n = left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0 ? recv(fd, chunk, sizeof chunk, 0) : -2;
            if (n <= 0) {
                eof = n > -2;
                break;
            }
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    // Send one request and read its whole reply: one line, or a list up to its END LIST line.
    std::string ask(const std::string& line)
    {
        if (!send(line + "\n")) return "(not sent)";
        std::string first = readUntil("\n");
        if (first.rfind("BEGIN LIST ", 0) != 0) return first;
        std::string end = "END LIST " + first.substr(11, first.find('\n') - 11) + "\n";
        return endsWith(first, end) ? first : first + readUntil(end);
    }

    // Whether the server closes the connection within seconds.
    bool closedByServer(double seconds = 5)
    {
        readUntil("\n\n\n", seconds);
        return eof;
    }

private:
    static bool endsWith(const std::string& text, const std::string& end)
    {
        return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
    }
    int fd;
    bool eof = false;
};

#endif
