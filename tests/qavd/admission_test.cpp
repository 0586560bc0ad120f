// Tests of connection admission: accepting rests while the system has no descriptor to give.
#include "admission.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

TEST(Gate, RestsWhileTheSystemHasNoDescriptorThenTakesTheWaitingClientAndStops)
{
    std::string problem;
    std::unique_ptr<Gate> gate = Gate::open({"127.0.0.1", 0}, "cannot listen: ", &problem);
    ASSERT_NE(gate, nullptr) << problem;
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(gate->port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    sockaddr_in self{};
    socklen_t size = sizeof self;
    ASSERT_EQ(getsockname(client, reinterpret_cast<sockaddr*>(&self), &size), 0);
    std::vector<std::string> taken;
    auto take = [&](int fd, const sockaddr_storage& address, socklen_t) {
        taken.push_back(peerOf(address).text());
        close(fd);
    };

    // No descriptor below the limit is free: the client waits, and the listener is left out for 200 ms.
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    rlimit full = files;
    full.rlim_cur = static_cast<rlim_t>(dup(client)); // the lowest free descriptor, closed again below
    close(static_cast<int>(full.rlim_cur));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &full), 0);
    AdmissionClock::time_point refused = AdmissionClock::now();
    std::string why = gate->acceptSome(8, take);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    EXPECT_EQ(why, "Too many open files");
    EXPECT_TRUE(taken.empty());
    pollfd wake{}, listening{};
    gate->watch(&wake, &listening);
    EXPECT_EQ(listening.fd, -1);
    EXPECT_GE(gate->resumes() - refused, 200ms);
    PollWait wait;
    wait.until(gate->resumes());
    EXPECT_TRUE(wait.ms() > 150 && wait.ms() <= 201) << wait.ms();

    // After the rest the client is taken, named by its address and port.
    std::this_thread::sleep_until(gate->resumes());
    gate->watch(&wake, &listening);
    EXPECT_GE(listening.fd, 0);
    EXPECT_EQ(gate->acceptSome(8, take), "");
    EXPECT_EQ(taken, std::vector<std::string>{"127.0.0.1:" + std::to_string(ntohs(self.sin_port))});
    // Not resting, the gate asks no early wake: a server with nothing to do sleeps its second.
    PollWait idle;
    idle.until(gate->resumes());
    EXPECT_GT(idle.ms(), 900);

    // Stopping is seen, and wakes the serving thread once.
    EXPECT_FALSE(gate->takeWakeUps());
    gate->stop();
    EXPECT_TRUE(gate->stopping());
    EXPECT_TRUE(gate->takeWakeUps());
    EXPECT_FALSE(gate->takeWakeUps());
    close(client);
}
