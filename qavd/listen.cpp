// listen: addresses of endpoints and of listeners, and the listening sockets qavd opens.
#include "listen.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

const char* const portProblem = "the port must be a number from 1 to 65535, with nothing after it";

int portNumber(const std::string& text, int low)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    int port = std::stoi(text);
    return port >= low && port <= 65535 ? port : -1;
}

std::string parseTcpAddress(const std::string& address, HostPort* out)
{
    std::string usage = "expected tcp:HOST:PORT, such as tcp:192.168.10.20:10001";
    if (address.rfind("tcp:", 0) != 0) return usage;
    std::size_t colon = address.find(':', 4);
    if (colon == std::string::npos) return "no port: " + usage;
    std::string host = address.substr(4, colon - 4);
    if (host.empty()) return "no host: " + usage;
    if (std::any_of(address.begin(), address.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }))
        return "\"" + address + "\" holds a blank: " + usage;
    int port = portNumber(address.substr(colon + 1), 1);
    if (port < 0) return portProblem;
    *out = {host, port};
    return "";
}

std::string parseListenAddress(const std::string& text, HostPort* out)
{
    std::size_t colon = text.rfind(':');
    int port = colon == std::string::npos ? -1 : portNumber(text.substr(colon + 1), 0);
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    if (host == "localhost" && !bracketed) host = "127.0.0.1";
    in6_addr address{};
    int family = bracketed ? AF_INET6 : AF_INET;
    char canonical[INET6_ADDRSTRLEN] = "";
    if (port < 0 || (!host.empty() && (inet_pton(family, host.c_str(), &address) != 1 ||
                                       inet_ntop(family, &address, canonical, sizeof canonical) == nullptr)))
        return "expected ADDR:PORT: a numeric address such as 127.0.0.1:9788 or [::1]:9788, localhost:PORT, "
               "or :PORT for every address";
    *out = {canonical, port};
    return "";
}

std::string listenText(const HostPort& where)
{
    std::string port = std::to_string(where.port);
    if (where.host.empty()) return "every address (IPv4 and IPv6), port " + port;
    return where.host.find(':') != std::string::npos ? "[" + where.host + "]:" + port : where.host + ":" + port;
}

int listenSocket(const HostPort& where, int flags)
{
    // Every address is IPv6's wildcard, which takes IPv4 as well, or IPv4's where IPv6 is off.
    bool everywhere = where.host.empty();
    int family = everywhere || where.host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    int fd = socket(family, SOCK_STREAM | flags, 0);
    if (fd < 0 && everywhere && errno == EAFNOSUPPORT) fd = socket(family = AF_INET, SOCK_STREAM | flags, 0);
    if (fd < 0) return -1;
    sockaddr_storage address{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    auto port = htons(static_cast<std::uint16_t>(where.port));
    if (family == AF_INET6) v6->sin6_port = port;
    else v4->sin_port = port;
    address.ss_family = static_cast<sa_family_t>(family);
    void* numbers = family == AF_INET6 ? static_cast<void*>(&v6->sin6_addr) : static_cast<void*>(&v4->sin_addr);
    bool known = everywhere || inet_pton(family, where.host.c_str(), numbers) == 1;
    int yes = 1, no = 0;
    if (!known) errno = EINVAL;
    if (!known || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        (everywhere && family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0) ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), family == AF_INET6 ? sizeof *v6 : sizeof *v4) != 0 ||
        listen(fd, SOMAXCONN) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int boundPort(int fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}
