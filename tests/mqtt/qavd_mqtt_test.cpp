// qavd end to end with MQTT: the simulator, a real broker, and qavd between them.
#include "broker.h"
#include "daemon_fixture.h"
#include "sample_answers.h"

#include <regex>
#include <sys/stat.h>

namespace {

// A broker, a simulator replaying answerA, and qavd's command line for both.
class QavdMqtt : public DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        broker.dir = dir;
        replay({answerA});
    }
    void TearDown() override
    {
        broker.stop();
        DaemonTest::TearDown();
    }
    void startQavd(const std::vector<std::string>& extra, const std::vector<std::string>& env = {})
    {
        std::vector<std::string> args = {"--name", "b1", "--interval", "0.2", "--timeout", "0.1", "--stale-after", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        DaemonTest::startQavd(simPort, args, env);
    }
    std::string brokerOption() const { return "--mqtt-broker=127.0.0.1:" + std::to_string(broker.port); }

    Broker broker{"", "allow_anonymous true"};
};

} // namespace

TEST_F(QavdMqtt, StateIsTheDecodedAnswerAndAvailabilityFollowsTheDataAndTheExit)
{
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    startQavd({brokerOption(), "--public-url", "https://battery.example/qav/", "--installed", "2024-06-30",
               "--replace-at", "70"});
    ASSERT_TRUE(sub.waitLatest("qav/b1/availability", "online")) << qavd.err;
    std::string state = sub.waitAny("qav/b1/state").payload;
    nlohmann::json json = nlohmann::json::parse(state);
    EXPECT_EQ(json["gas_gauge_percent"], 85.0);
    EXPECT_EQ(json["current_amperes"], -1.0);
    EXPECT_EQ(json["layer_temperatures_celsius"], nlohmann::json::parse("[29,28,27,26,25,24,23,22]"));
    EXPECT_EQ(json["volt_alert_register"], 18);
    EXPECT_EQ(json["answer"], answerA);
    // The same line as standard output's.
    EXPECT_TRUE(waitFor(&qavd, 10, [&](const Child& c) { return c.out.find(state + "\n") != std::string::npos; }));
    EXPECT_EQ(sub.on("homeassistant/sensor/qav_b1/gas_gauge/config").size(), 1U);
    nlohmann::json config = nlohmann::json::parse(sub.waitAny("homeassistant/event/qav_b1/event/config").payload);
    EXPECT_EQ(config["device"]["configuration_url"], "https://battery.example/qav/");
    // The health on its own topic, with the battery's own keys; its sensors read it.
    nlohmann::json figures = nlohmann::json::parse(sub.waitAny("qav/b1/health").payload);
    EXPECT_EQ(figures["installed"], "2024-06-30");
    EXPECT_EQ(figures["replace_at_percent"], 70.0);
    EXPECT_EQ(nlohmann::json::parse(sub.waitAny("homeassistant/binary_sensor/qav_b1/weak_cell/config").payload)
                  ["state_topic"], "qav/b1/health");

    // The simulator stops answering: stale after two polls, then fresh again.
    kill(sim.pid, SIGSTOP);
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "offline"));
    // The event follows "offline"; the alert of the first answer came before both.
    EXPECT_TRUE(eventually(20, [&] {
        return sub.waitAny("qav/b1/event").payload.find(R"("event":"commlost")") != std::string::npos;
    })) << sub.waitAny("qav/b1/event").payload;
    kill(sim.pid, SIGCONT);
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "online"));

    // SIGTERM: offline, said by qavd itself before a clean disconnect.
    kill(qavd.pid, SIGTERM);
    int status = waitExit(&qavd, 20);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << qavd.err;
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "offline"));
    EXPECT_TRUE(eventually(10, [&] { return broker.log().find(" disconnected.") != std::string::npos; }))
        << broker.log();
}

TEST_F(QavdMqtt, ConfigFileOptionsBrokerRestartAndLastWill)
{
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    std::ofstream(dir + "/qavd.conf") << "mqtt-broker = \"127.0.0.1:" << broker.port << "\"\n"
                                           << "mqtt-topic-prefix = \"site\"\nmqtt-discovery-prefix = \"ha\"\n";
    startQavd({"--config", dir + "/qavd.conf"});
    ASSERT_TRUE(sub.waitLatest("site/b1/availability", "online")) << qavd.err;
    EXPECT_EQ(sub.on("ha/binary_sensor/qav_b1/main_fuse/config").size(), 1U);

    // A new broker on the same port has nothing retained until qavd reconnects and republishes.
    broker.stop();
    ASSERT_TRUE(broker.start());
    Subscriber after(broker.port);
    ASSERT_TRUE(after.waitLatest("site/b1/availability", "online", 30)) << qavd.err;
    EXPECT_EQ(after.on("ha/binary_sensor/qav_b1/main_fuse/config").size(), 1U);
    EXPECT_EQ(nlohmann::json::parse(after.waitAny("site/b1/state").payload)["gas_gauge_percent"], 85.0);

    kill(qavd.pid, SIGKILL);
    EXPECT_TRUE(after.waitLatest("site/b1/availability", "offline"));
    EXPECT_NE(broker.log().find(" closed its connection."), std::string::npos) << broker.log();
}

TEST_F(QavdMqtt, AWrongPasswordIsReportedAndRetriedWhilePollingGoesOn)
{
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + dir + "/passwd qavd right-one").c_str()), 0);
    broker.extra = "allow_anonymous false\npassword_file " + dir + "/passwd";
    ASSERT_TRUE(broker.start());
    std::ofstream(dir + "/password") << "wrong-one\n";
    startQavd({brokerOption(), "--mqtt-username=qavd", "--mqtt-password-file=" + dir + "/password"});
    EXPECT_TRUE(waitFor(&qavd, 30, [](const Child& c) {
        return countOf(c.err, "qavd: b1: MQTT broker 127.0.0.1:") >= 2 && countOf(c.out, "\"battery\":\"b1\"") >= 10;
    })) << qavd.err;
    EXPECT_EQ(countOf(qavd.err, "cannot connect: refused: Connection Refused: not authorised; retrying in "), 2);
}

TEST_F(QavdMqtt, ThePasswordComesFromSystemdsCredentialsWithAWarningWhenOthersMayReadIt)
{
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + dir + "/passwd qavd right-one").c_str()), 0);
    broker.extra = "allow_anonymous false\npassword_file " + dir + "/passwd";
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port, "", "qavd", "right-one");
    ASSERT_EQ(mkdir((dir + "/credentials").c_str(), 0700), 0);
    std::string credential = dir + "/credentials/mqtt-password";
    std::ofstream(credential) << "right-one\n";
    chmod(credential.c_str(), 0644);
    startQavd({brokerOption(), "--mqtt-username=qavd"}, {"CREDENTIALS_DIRECTORY=" + dir + "/credentials"});
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "online")) << qavd.err;
    EXPECT_TRUE(waitFor(&qavd, 5, [&](const Child& c) {
        return c.err.find("qavd: " + credential + " holds a secret but every user may read it") != std::string::npos;
    })) << qavd.err;
}

TEST_F(QavdMqtt, BadMqttOptionsStopTheStartWithAMessage)
{
    std::ofstream(dir + "/empty");
    std::ofstream(dir + "/blank") << "\nsecond line\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--mqtt-broker=host:0"}, "--mqtt-broker: host:0: the port must be a number from 1 to 65535"},
        {{"--mqtt-broker=[::1"}, "--mqtt-broker: [::1: missing ']'"},
        {{"--mqtt-username=u"}, "--mqtt-username requires --mqtt-broker"},
        {{"--mqtt-broker=h", "--mqtt-username=u", "--mqtt-password-file=" + dir + "/empty"}, "/empty is empty"},
        {{"--mqtt-broker=h", "--mqtt-username=u", "--mqtt-password-file=" + dir + "/blank"},
         "has an empty first line"},
        {{"--mqtt-broker=h", "--mqtt-cafile=" + dir + "/none"}, "cannot read " + dir + "/none"},
        {{"--mqtt-broker=h", "--mqtt-topic-prefix=a/#"}, "must not contain '+' or '#'"},
        {{"--public-url=ftp://h/"}, "expected an http:// or https:// address without spaces"},
    };
    for (const auto& [args, message] : cases) {
        startQavd(args);
        int status = waitExit(&qavd, 20);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args.back() << ": " << status;
        EXPECT_NE(qavd.err.find(message), std::string::npos) << qavd.err;
        EXPECT_EQ(qavd.out, "");
    }
}

TEST_F(QavdMqtt, ABrokerSendingAHugePacketOrGarbageIsLeftAndARealOneServedAfter)
{
    broker.reserve();
    std::atomic<std::size_t> hugeSent{0};
    std::string fromQavd;
    const std::vector<HostileBroker::Answer> answers = {
        // Accepted, then a PUBLISH of 200,000,000 bytes (0x80 0xc2 0xae 0x5f in MQTT's length digits).
        [&](int sd) {
            std::size_t sent = HostileBroker::sendAll(sd, std::string("\x20\x02\x00\x00\x30\x80\xc2\xae\x5f", 9));
            for (std::string zeros(1 << 16, '\0'); sent < 200000000;) {
                std::size_t n = HostileBroker::sendAll(sd, zeros.substr(0, 200000000 - sent));
                sent += n;
                if (n == 0) break;
            }
            hugeSent = sent;
        },
        // Accepted, then PUBLISHes at QoS 1 of 1,048,576 bytes in all (ids 1 and 2) and of one more (id 3):
        // the two are acknowledged, the third ends the connection.
        [&](int sd) {
            auto publish = [](char id, char lastLengthDigit) {
                std::string head = std::string("\x32", 1) + lastLengthDigit + "\xff\x3f" + std::string("\x00\x01t\x00", 4) + id;
                return head + std::string(1048576 - 4 - 5 + (lastLengthDigit == '\xfd'), 'x');
            };
            HostileBroker::sendAll(sd, std::string("\x20\x02\x00\x00", 4) + publish(1, '\xfc') + publish(2, '\xfc') +
                                           publish(3, '\xfd'));
            char buffer[4096];
            for (ssize_t n; (n = read(sd, buffer, sizeof buffer)) > 0;) fromQavd.append(buffer, static_cast<std::size_t>(n));
        },
        // An HTTP server's answer: to MQTT, a packet of 84 bytes of which 45 come.
        [](int sd) { HostileBroker::sendAll(sd, "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n"); },
        // A packet of a type that does not exist.
        [](int sd) { HostileBroker::sendAll(sd, std::string("\x00\x00", 2)); },
    };
    auto hostile = std::make_unique<HostileBroker>(broker.port, answers);
    startQavd({brokerOption()});
    ASSERT_TRUE(until(60, [&] { return hostile->served == answers.size(); })) << qavd.err;
    hostile.reset();
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    ASSERT_TRUE(sub.waitLatest("qav/b1/availability", "online", 30)) << qavd.err;
    EXPECT_EQ(nlohmann::json::parse(sub.waitAny("qav/b1/state").payload)["gas_gauge_percent"], 85.0);
    pump(&qavd, 100);
    // Each is said for what it is, and retried under the usual back-off.
    EXPECT_EQ(countOf(qavd.err, "connection lost: the broker sent a packet larger than 1 MiB; retrying in 1 s\n"), 2)
        << qavd.err;
    // PUBACKs for ids 1 and 2 only.
    for (int id = 1; id <= 3; id++)
        EXPECT_EQ(countOf(fromQavd, std::string("\x40\x02\x00", 3) + static_cast<char>(id)), id < 3 ? 1 : 0) << id;
    EXPECT_EQ(countOf(qavd.err, "cannot connect: protocol error: the connection ended within a packet; retrying in 2 s\n"), 1)
        << qavd.err;
    EXPECT_EQ(countOf(qavd.err, "cannot connect: protocol error: "), 2) << qavd.err;
    EXPECT_EQ(countOf(qavd.err, "retrying in 4 s\n"), 1) << qavd.err;
    EXPECT_LT(hugeSent.load(), 200000000U);
    // The huge packet was never held: qavd stayed far below its size.
    std::smatch peak;
    std::string status = fileText("/proc/" + std::to_string(qavd.pid) + "/status");
    ASSERT_TRUE(std::regex_search(status, peak, std::regex("VmHWM:\\s+([0-9]+) kB")));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' own memory comes on top of qavd's (ThreadSanitizer's per thread too); a
    // packet held would still take more than its own 200 MB.
    EXPECT_LT(std::stol(peak[1]), 190 * 1024) << "peak resident KiB";
#else
    EXPECT_LT(std::stol(peak[1]), 20 * 1024) << "peak resident KiB";
#endif
    std::printf("qavd's peak resident memory: %s KiB; of the huge packet %zu bytes were sent\n", peak[1].str().c_str(),
                hugeSent.load());
}

// A site's broker bridged to a central one with the contrib bridge file: each battery's discovery
// configs, availability and state reach the central broker, and the retained ones come back
// there when the central broker restarts empty and the bridge reconnects.
TEST_F(QavdMqtt, TheContribBridgeBringsEveryBatteryOfASiteToTheCentralBroker)
{
    ASSERT_EQ(mkdir((dir + "/central").c_str(), 0700) | mkdir((dir + "/site").c_str(), 0700), 0);
    Broker central{dir + "/central", "allow_anonymous true"};
    ASSERT_TRUE(central.start());
    const std::string bridge = std::regex_replace(fileText(CONTRIB_DIR "/mosquitto-bridge.conf"),
                                                  std::regex("central\\.example:1883"),
                                                  "127.0.0.1:" + std::to_string(central.port));
    Broker site{dir + "/site", "allow_anonymous true\n" + bridge};
    ASSERT_TRUE(site.start());
    // A site of two batteries, each with a simulator of its own; no early return leaves the second.
    Child second = spawn({BATTERY_SIM_PATH, "--port", "0", "--replay", dir + "/answers.txt"});
    std::smatch m;
    const std::regex serving("tcp 127.0.0.1:([0-9]+)\n");
    EXPECT_TRUE(waitFor(&second, 10, [&](const Child& c) { return std::regex_search(c.err, m, serving); }));
    qavd = spawn({QAVD_PATH, "--name", "site-a", "--battery", "a-rack1=tcp:127.0.0.1:" + std::to_string(simPort),
                  "--battery", "a-rack2=tcp:127.0.0.1:" + m[1].str(), "-i", "0.2", "-t", "0.1", "--output", "none",
                  "--mqtt-broker=127.0.0.1:" + std::to_string(site.port)});
    Subscriber sub(central.port);
    // The JSON payload on a topic, an empty object if none comes.
    auto payload = [&](const std::string& topic) {
        nlohmann::json json = nlohmann::json::parse(sub.waitAny(topic).payload, nullptr, false);
        return json.is_object() ? json : nlohmann::json::object();
    };
    for (const std::string rack : {"a-rack1", "a-rack2"}) {
        EXPECT_TRUE(sub.waitLatest("qav/" + rack + "/availability", "online")) << qavd.err << site.log();
        EXPECT_EQ(payload("qav/" + rack + "/state")["gas_gauge_percent"], 85.0) << rack;
        nlohmann::json config = payload("homeassistant/sensor/qav_" + rack + "/gas_gauge/config");
        EXPECT_EQ(config["state_topic"], "qav/" + rack + "/state");
        EXPECT_EQ(config["device"]["identifiers"][0], "qav_" + rack);
    }
    central.stop();
    EXPECT_TRUE(central.start());
    // Live while the bridge sends them again; retained for a client that comes after.
    const std::vector<std::string> kept = {
        "qav/a-rack1/availability", "homeassistant/sensor/qav_a-rack1/gas_gauge/config",
        "qav/a-rack2/availability", "homeassistant/sensor/qav_a-rack2/gas_gauge/config"};
    Subscriber live(central.port);
    for (const std::string& topic : kept) EXPECT_NE(live.waitAny(topic).payload, "<nothing>") << topic;
    Subscriber after(central.port);
    for (const std::string& topic : kept) EXPECT_TRUE(after.waitAny(topic).retained) << topic;
    stop(&second, SIGTERM);
}
