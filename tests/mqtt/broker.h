// broker: a real mosquitto broker on a loopback port, and a subscriber that records what it sees.
#ifndef QAV_TESTS_MQTT_BROKER_H
#define QAV_TESTS_MQTT_BROKER_H

#include "free_port.h"
#include "process.h"

#include <arpa/inet.h>
#include <atomic>
#include <poll.h>
#include <thread>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mutex>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// Whether something accepts TCP connections on 127.0.0.1:port.
inline bool listening(int port)
{
    int sd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(sd);
    return ok;
}

// Poll done() every 20 ms until it holds or seconds pass; whether it held.
inline bool eventually(double seconds, const std::function<bool()>& done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        usleep(20000);
    }
    return true;
}

// A scratch directory, removed at the end.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char pattern[] = "/tmp/qav_mqtt_XXXXXX";
        if (mkdtemp(pattern) != nullptr) path = pattern;
    }
    ~ScratchDir()
    {
        if (!path.empty()) {
            EXPECT_EQ(std::system(("rm -rf " + path).c_str()), 0);
        }
    }
};

// mosquitto with a config of its own on a free loopback port; extra lines go into its listener.
class Broker {
public:
    Broker(std::string scratch, std::string lines = "") : dir(std::move(scratch)), extra(std::move(lines)) {}
    ~Broker() { stop(); }

    // Hold a port for the broker before it first starts; connections to it are refused meanwhile.
    void reserve()
    {
        if (reservation == nullptr) reservation = std::make_unique<ReservedPort>();
        port = reservation->port;
    }
    // Start (again, on the same port) and wait until it accepts connections. A first start on
    // a port of its own moves to another should the bind clash.
    bool start()
    {
        if (reservation != nullptr) return startOn(port);
        return startOnReservedPort(&reservation, [this](int reserved) {
            port = reserved;
            return startOn(reserved);
        });
    }
    // Stop with SIGTERM and wait for it to end.
    void stop()
    {
        if (process.pid > 0) ::stop(&process, SIGTERM);
        process = Child{};
    }
    // What the broker logged (to a file, so a full pipe never stalls it).
    std::string log() const
    {
        std::ifstream in(dir + "/mosquitto.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir;
    std::string extra;
    int port = 0;

private:
    // Start on port and wait until it listens there; false when it ended first.
    bool startOn(int listenPort)
    {
        std::ofstream config(dir + "/mosquitto.conf");
        // As root, mosquitto would otherwise drop to a user that cannot read the scratch files.
        if (geteuid() == 0) config << "user root\n";
        config << "persistence false\nlog_type all\nlog_dest file " << dir << "/mosquitto.log\n"
               << "listener " << listenPort << " 127.0.0.1\n"
               << extra << "\n";
        config.close();
        process = spawn({MOSQUITTO_PATH, "-c", dir + "/mosquitto.conf"});
        int status = 0;
        bool ended = false;
        bool up = eventually(20, [&] {
            pump(&process, 0);
            ended = waitpid(process.pid, &status, WNOHANG) == process.pid;
            return ended || listening(listenPort);
        });
        if (!ended && up) return true;
        stop();
        return false;
    }

    std::unique_ptr<ReservedPort> reservation;
    Child process;
};

// One message as a subscriber got it.
struct Message {
    std::string topic;
    std::string payload;
    bool retained;
};

// A libmosquitto client subscribed to "#" that records every message.
class Subscriber {
public:
    Subscriber(int port, const std::string& cafile = "", const std::string& user = "",
               const std::string& password = "")
    {
        mosquitto_lib_init();
        handle = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(handle, [](mosquitto* h, void*, int rc) {
            if (rc == 0) mosquitto_subscribe(h, nullptr, "#", 0);
        });
        mosquitto_message_callback_set(handle, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->mutex);
            s->messages.push_back({m->topic, std::string(static_cast<const char*>(m->payload),
                                                         static_cast<std::size_t>(m->payloadlen)),
                                   m->retain});
        });
        if (!user.empty()) mosquitto_username_pw_set(handle, user.c_str(), password.c_str());
        if (!cafile.empty()) mosquitto_tls_set(handle, cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
        mosquitto_connect_async(handle, "127.0.0.1", port, 30);
        mosquitto_loop_start(handle);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(handle);
        mosquitto_loop_stop(handle, false);
        mosquitto_destroy(handle);
        mosquitto_lib_cleanup();
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    std::vector<Message> all()
    {
        std::lock_guard lock(mutex);
        return messages;
    }
    // The messages on topic, in arrival order.
    std::vector<Message> on(const std::string& topic)
    {
        std::vector<Message> found;
        for (const Message& m : all())
            if (m.topic == topic) found.push_back(m);
        return found;
    }
    // Wait until the latest payload on topic is payload.
    bool waitLatest(const std::string& topic, const std::string& payload, double seconds = 20)
    {
        return eventually(seconds, [&] {
            std::vector<Message> found = on(topic);
            return !found.empty() && found.back().payload == payload;
        });
    }
    // Wait until topic has had a message, and return the latest.
    Message waitAny(const std::string& topic, double seconds = 20)
    {
        eventually(seconds, [&] { return !on(topic).empty(); });
        std::vector<Message> found = on(topic);
        return found.empty() ? Message{topic, "<nothing>", false} : found.back();
    }

private:
    mosquitto* handle = nullptr;
    std::mutex mutex;
    std::vector<Message> messages;
};

// A TCP relay from a free loopback port to the broker. dark() stops forwarding but keeps every
// socket open, as a network path that silently fails; light() resets the connections made
// before, as such a path does once it is back, and forwards again.
class DarkPath {
public:
    explicit DarkPath(int brokerPort) : target(brokerPort)
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(0);
        socklen_t size = sizeof addr;
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), size), 0);
        EXPECT_EQ(listen(listener, 8), 0);
        EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size), 0);
        port = ntohs(addr.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~DarkPath()
    {
        stopping = true;
        thread.join();
        reset();
        close(listener);
    }
    void dark()
    {
        isDark = true;
        usleep(100000); // a forward under way ends
    }
    void light()
    {
        resetOld = true;
        isDark = false;
    }
    int port = 0;

private:
    static sockaddr_in loopback(int at)
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(at));
        return addr;
    }
    void reset()
    {
        for (int sd : sockets) close(sd);
        sockets.clear();
    }
    // Accept and forward until stopped; sockets holds client and broker side by turns.
    void run()
    {
        char buffer[4096];
        while (!stopping) {
            if (isDark) {
                usleep(20000);
                continue;
            }
            if (resetOld.exchange(false)) reset();
            std::vector<pollfd> fds{{listener, POLLIN, 0}};
            for (int sd : sockets) fds.push_back({sd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            std::vector<int> open;
            for (std::size_t i = 0; i + 1 < fds.size(); i += 2) {
                bool ended = false;
                for (std::size_t side : {i + 1, i + 2}) {
                    if (fds[side].revents == 0) continue;
                    ssize_t n = read(fds[side].fd, buffer, sizeof buffer);
                    int peer = sockets[(side - 1) ^ 1];
                    ended = ended || n <= 0 || write(peer, buffer, static_cast<std::size_t>(n)) != n;
                }
                if (ended) close(sockets[i]), close(sockets[i + 1]);
                else open.insert(open.end(), {sockets[i], sockets[i + 1]});
            }
            sockets = open;
            if ((fds[0].revents & POLLIN) != 0) {
                int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                int broker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in addr = loopback(target);
                EXPECT_EQ(connect(broker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
                sockets.push_back(client);
                sockets.push_back(broker);
            }
        }
    }

    int target;
    int listener = -1;
    std::vector<int> sockets;
    std::atomic<bool> isDark{false}, resetOld{false}, stopping{false};
    std::thread thread;
};

// A broker gone wrong, listening on a port that a real Broker (reserve()) takes over later: each
// connection it accepts gets the next of its answers once the client's first bytes are read, and
// is closed; after the last it stops listening.
class HostileBroker {
public:
    using Answer = std::function<void(int sd)>;
    HostileBroker(int port, std::vector<Answer> list) : answers(std::move(list))
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listener, 4), 0);
        thread = std::thread([this] { run(); });
    }
    ~HostileBroker()
    {
        stopping = true;
        thread.join();
    }
    HostileBroker(const HostileBroker&) = delete;
    HostileBroker& operator=(const HostileBroker&) = delete;

    std::atomic<std::size_t> served{0}; // answers given

    // Send all of bytes, or as much as the peer takes before it closes; how much that was.
    static std::size_t sendAll(int sd, const std::string& bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = send(sd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        return sent;
    }

private:
    void run()
    {
        timeval wait{60, 0}; // an answer never outlasts the test
        while (!stopping && served < answers.size()) {
            pollfd fd{listener, POLLIN, 0};
            if (poll(&fd, 1, 20) <= 0) continue;
            int sd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (sd < 0) continue;
            setsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
            char connect[4096];
            pollfd in{sd, POLLIN, 0};
            if (poll(&in, 1, 10000) == 1 && read(sd, connect, sizeof connect) > 0) answers[served](sd);
            close(sd);
            served++;
        }
        close(listener);
    }

    std::vector<Answer> answers;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

#endif
