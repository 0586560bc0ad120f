// The MQTT output against a real broker: what it publishes, and how it rides out the broker's troubles.
#include "broker.h"
#include "mqtt.h"
#include "sample_answers.h"
#include "state_feed.h"

#include <CLI/CLI.hpp>

namespace {

// The state JSON each answer must give (time 1700000000, battery b1).
const std::string stateA = R"({"battery":"b1","time":1700000000)" + jsonAfterTimeA;
const char* gaugeAndFlagsB = R"({"gas_gauge_percent":100.0,"current_amperes":12.5,"stack_voltage_volts":32.0,
  "layer_temperatures_celsius":[30,30,30,30,30,30,30,30],"temp_alert_register":1,"status_register":33800})";

Reading readingOf(const std::string& answer, const std::string& battery = "b1")
{
    Reading reading{battery, 1700000000, answer, {}};
    decodeStatus(answer.data(), answer.size(), &reading.status);
    return reading;
}

// What the output logged, safe to read while its thread writes.
struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;
    MqttLog sink()
    {
        return [this](int, const std::string& text) {
            std::lock_guard lock(mutex);
            lines.push_back(text);
        };
    }
    std::string all()
    {
        std::lock_guard lock(mutex);
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        return text;
    }
    int count(const std::string& text)
    {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const std::string& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }
};

std::unique_ptr<Output> start(const MqttOptions& options, LogLines* log)
{
    std::string problem;
    std::unique_ptr<Output> output = startMqtt(options, "b1", &problem, log->sink());
    EXPECT_NE(output, nullptr) << problem;
    return output;
}

MqttOptions optionsFor(int port)
{
    MqttOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    return options;
}

// Whether a call came back within a generous ten seconds. The calls checked with it would
// never come back at all if they waited for the broker, which stays away meanwhile.
template <typename Call> bool returnsWithoutWaiting(Call call)
{
    auto begin = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - begin < std::chrono::seconds(10);
}

} // namespace

TEST(MqttOutput, PublishesDiscoveryStateAvailabilityAndEvents)
{
    ScratchDir dir;
    Broker broker(dir.path, "allow_anonymous true");
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    LogLines log;
    std::unique_ptr<Output> output = start(optionsFor(broker.port), &log);
    StateFeed feed(*output);

    // Connected but no answer yet: discovery, and offline.
    ASSERT_TRUE(sub.waitLatest("qav/b1/availability", "offline"));
    EXPECT_TRUE(eventually(20, [&] { return sub.all().size() >= 69; }));
    int configs = 0;
    for (const Message& m : sub.all()) configs += m.topic.starts_with("homeassistant/");
    EXPECT_EQ(configs, 68);
    Message gauge = sub.waitAny("homeassistant/sensor/qav_b1/gas_gauge/config");
    EXPECT_EQ(nlohmann::json::parse(gauge.payload)["unique_id"], "qav_b1_gas_gauge");

    feed.accepted(readingOf(answerA));
    ASSERT_TRUE(sub.waitLatest("qav/b1/availability", "online"));
    EXPECT_EQ(nlohmann::json::parse(sub.waitAny("qav/b1/state").payload), nlohmann::json::parse(stateA));

    // The health has a topic of its own, without the capacity points; a new weak cell goes out at
    // once, well within the minute between other updates.
    EXPECT_EQ(nlohmann::json::parse(sub.waitAny("qav/b1/health").payload)["weak_cell"], nullptr);
    Health due = *feed.keeper.snapshot()->health;
    due.weakCell = 6, due.weakRatio = 2.5;
    feed.keeper.health(std::make_shared<const Health>(due));
    feed.publish();
    ASSERT_TRUE(eventually(10, [&] { return sub.on("qav/b1/health").size() == 2; }));
    nlohmann::json health = nlohmann::json::parse(sub.on("qav/b1/health").back().payload);
    EXPECT_EQ(health["weak_cell"], nlohmann::json::parse(R"({"cell":6,"ratio":2.5})"));
    EXPECT_FALSE(health.contains("capacity_points"));

    output->event({"b1", "fault", "main_fuse", 1700000001});
    Message event = sub.waitAny("qav/b1/event");
    EXPECT_EQ(nlohmann::json::parse(event.payload),
              nlohmann::json::parse(R"({"event":"fault","detail":"main_fuse","time":1700000001})"));

    feed.freshness(false);
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "offline"));
    feed.accepted(readingOf(answerB));
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "online"));
    output->finish();
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "offline"));
    EXPECT_TRUE(eventually(20, [&] { return broker.log().find("disconnected") != std::string::npos; }))
        << "no clean disconnect in the broker's log:\n" << broker.log();

    // A late subscriber gets the retained state, availability and configs, and no event.
    Subscriber late(broker.port);
    Message state = late.waitAny("qav/b1/state");
    EXPECT_TRUE(state.retained);
    EXPECT_EQ(nlohmann::json::parse(state.payload).value("temp_alert_register", -1), 1);
    EXPECT_EQ(late.waitAny("qav/b1/availability").payload, "offline");
    EXPECT_TRUE(late.waitAny("homeassistant/binary_sensor/qav_b1/fan/config").retained);
    EXPECT_TRUE(late.on("qav/b1/event").empty());
    Message kept = late.waitAny("qav/b1/health");
    EXPECT_TRUE(kept.retained);
    EXPECT_EQ(nlohmann::json::parse(kept.payload)["weak_cell"]["cell"], 6);
    // The later answers, with the flags unchanged, did not send it again within the minute.
    EXPECT_EQ(sub.on("qav/b1/health").size(), 2U);
}

TEST(MqttOutput, OwnPrefixesAndNoDiscovery)
{
    ScratchDir dir;
    Broker broker(dir.path, "allow_anonymous true");
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    CLI::App app;
    MqttOptions options;
    addMqttOptions(app, options);
    app.parse("--no-mqtt-discovery --mqtt-topic-prefix site/qav --mqtt-broker 127.0.0.1:" + std::to_string(broker.port),
              false);
    LogLines log;
    std::unique_ptr<Output> output = start(options, &log);
    StateFeed feed(*output);
    feed.accepted(readingOf(answerA));
    ASSERT_TRUE(sub.waitLatest("site/qav/b1/availability", "online"));
    EXPECT_EQ(nlohmann::json::parse(sub.waitAny("site/qav/b1/state").payload), nlohmann::json::parse(stateA));
    output->finish();
    for (const Message& m : sub.all()) EXPECT_TRUE(m.topic.starts_with("site/qav/b1/")) << m.topic;
}

TEST(MqttOutput, RepublishesTheLatestStateAfterTheBrokerComesBack)
{
    ScratchDir dir;
    Broker broker(dir.path, "allow_anonymous true");
    broker.reserve();
    LogLines log;
    std::unique_ptr<Output> output = start(optionsFor(broker.port), &log);
    StateFeed feed(*output);
    // The broker comes up after attempts that backed off.
    ASSERT_TRUE(eventually(20, [&] { return log.count("cannot connect: Connection refused; retrying in 2 s"); }));
    ASSERT_TRUE(broker.start());
    {
        Subscriber sub(broker.port);
        feed.accepted(readingOf(answerA));
        ASSERT_TRUE(sub.waitLatest("qav/b1/availability", "online", 30));
    }
    EXPECT_EQ(log.count("connected after "), 1) << log.all();
    broker.stop();
    ASSERT_TRUE(eventually(20, [&] { return log.count("connection lost") == 1; }));
    // Lost after a connection, the first retry comes soon again.
    EXPECT_EQ(log.count("connection lost: The connection was lost; retrying in 1 s"), 1) << log.all();
    // Polling goes on while the broker is away, never waiting for it; only the latest answer counts.
    EXPECT_TRUE(returnsWithoutWaiting([&] {
        for (int i = 0; i < 20; i++) feed.accepted(readingOf(i == 19 ? answerB : answerA));
    }));
    // Events raised meanwhile are kept, the last 100 of them, each with its own time.
    for (int i = 0; i < 102; i++) output->event({"b1", "alert", "n" + std::to_string(i), 1700000000 + i});

    // A new broker on the same port (nothing retained), with a subscriber before qavd's next try.
    ASSERT_TRUE(eventually(20, [&] { return log.count("cannot connect: Connection refused; retrying in 4 s"); }));
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    ASSERT_TRUE(sub.waitLatest("qav/b1/availability", "online", 30)) << broker.log();
    ASSERT_TRUE(eventually(10, [&] { return sub.on("qav/b1/event").size() == 100; })) << sub.on("qav/b1/event").size();
    std::vector<Message> events = sub.on("qav/b1/event");
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(nlohmann::json::parse(events[static_cast<std::size_t>(i)].payload),
                  nlohmann::json({{"event", "alert"}, {"detail", "n" + std::to_string(i + 2)}, {"time", 1700000002 + i}}));
    EXPECT_EQ(log.count("2 events raised while it was away were dropped; the last 100 follow"), 1) << log.all();
    EXPECT_EQ(std::string(output->drops().first), "mqtt_events");
    EXPECT_EQ(output->drops().second, 2U);
    std::vector<Message> states = sub.on("qav/b1/state");
    ASSERT_EQ(states.size(), 1U);
    nlohmann::json state = nlohmann::json::parse(states[0].payload);
    nlohmann::json expected = nlohmann::json::parse(gaugeAndFlagsB);
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(state[key], value) << key;
    EXPECT_NE(sub.waitAny("homeassistant/sensor/qav_b1/humidity/config").payload, "<nothing>");
    EXPECT_EQ(log.count("connected after "), 2);

    // Away again: a clean exit does not hang on the missing broker.
    broker.stop();
    EXPECT_TRUE(returnsWithoutWaiting([&] { output->finish(); }));
}

TEST(MqttOutput, EventsRaisedWhileThePathIsDarkArriveInOrderOnceItIsBack)
{
    ScratchDir dir;
    Broker broker(dir.path, "allow_anonymous true");
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    DarkPath path(broker.port);
    LogLines log;
    std::unique_ptr<Output> output = start(optionsFor(path.port), &log);
    StateFeed feed(*output);
    feed.accepted(readingOf(answerA));
    ASSERT_TRUE(sub.waitLatest("qav/b1/availability", "online"));
    output->event({"b1", "alert", "before", 1700000001});
    ASSERT_TRUE(eventually(10, [&] { return sub.on("qav/b1/event").size() == 1; }));

    // The path goes dark with the connection open: the events go out into it, unacknowledged.
    path.dark();
    auto darkAt = std::chrono::steady_clock::now();
    auto since = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - darkAt).count(); };
    const char* names[] = {"commlost", "lowbattery", "fault"};
    for (int i = 0; i < 3; i++) output->event({"b1", names[i], "dark", 1700000010 + i});
    // Found within twice the keepalive of 15 s (and some margin for a loaded machine).
    ASSERT_TRUE(eventually(45, [&] { return log.count("connection lost") == 1; })) << log.all();
    double found = since();
    EXPECT_LT(found, 35);
    path.light();
    ASSERT_TRUE(eventually(30, [&] { return sub.on("qav/b1/event").size() >= 4; })) << log.all();
    double published = since();
    usleep(500000); // a duplicate would come now
    std::vector<Message> events = sub.on("qav/b1/event");
    ASSERT_EQ(events.size(), 4U);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(nlohmann::json::parse(events[static_cast<std::size_t>(i) + 1].payload),
                  nlohmann::json({{"event", names[i]}, {"detail", "dark"}, {"time", 1700000010 + i}}));
    EXPECT_EQ(std::string(output->drops().first), "mqtt_events");
    EXPECT_EQ(output->drops().second, 0U);
    std::printf("dark path found after %.1f s; its events published %.1f s after it went dark\n", found, published);
    output->finish();
}

TEST(MqttOutput, AWrongPasswordIsReportedAndRetriedWhilePollingGoesOn)
{
    ScratchDir dir;
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + dir.path + "/passwd qavd right-one").c_str()), 0);
    Broker broker(dir.path, "allow_anonymous false\npassword_file " + dir.path + "/passwd");
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port, "", "qavd", "right-one");
    MqttOptions options = optionsFor(broker.port);
    options.username = "qavd";
    options.password = "wrong-one";
    LogLines wrongLog;
    std::unique_ptr<Output> wrong = start(options, &wrongLog);
    StateFeed wrongFeed(*wrong);
    EXPECT_TRUE(returnsWithoutWaiting([&] { wrongFeed.accepted(readingOf(answerA)); }));
    EXPECT_TRUE(eventually(30, [&] { return wrongLog.count("refused: Connection Refused: not authorised") >= 2; }))
        << wrongLog.all();
    EXPECT_EQ(wrongLog.count("retrying in 1 s"), 1);
    EXPECT_EQ(wrongLog.count("retrying in 2 s"), 1);
    EXPECT_TRUE(sub.on("qav/b1/state").empty());
    wrong->finish();

    options.password = "right-one";
    LogLines rightLog;
    std::unique_ptr<Output> right = start(options, &rightLog);
    StateFeed rightFeed(*right);
    rightFeed.accepted(readingOf(answerA));
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "online"));
    right->finish();
}

TEST(MqttOutput, TlsWithTheBrokersCaAndNotWithAnother)
{
    ScratchDir dir;
    std::string d = dir.path;
    std::string make =
        "cd " + d + " && for ca in ca other; do openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=$ca "
        "-keyout $ca.key -out $ca.crt; done && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 "
        "-keyout server.key -out server.csr && printf 'subjectAltName=IP:127.0.0.1\\n' >san && "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san "
        "-out server.crt";
    ASSERT_EQ(std::system(("(" + make + ") >/dev/null 2>&1").c_str()), 0);
    Broker broker(d, "allow_anonymous true\ncafile " + d + "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d +
                         "/server.key");
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port, d + "/ca.crt");
    MqttOptions options = optionsFor(broker.port);
    options.cafile = d + "/ca.crt";
    LogLines log;
    std::unique_ptr<Output> output = start(options, &log);
    StateFeed feed(*output);
    feed.accepted(readingOf(answerA));
    EXPECT_TRUE(sub.waitLatest("qav/b1/availability", "online")) << broker.log();
    EXPECT_EQ(nlohmann::json::parse(sub.waitAny("qav/b1/state").payload), nlohmann::json::parse(stateA));
    output->finish();

    options.cafile = d + "/other.crt";
    LogLines otherLog;
    std::unique_ptr<Output> other = start(options, &otherLog);
    EXPECT_TRUE(eventually(30, [&] { return otherLog.count("certificate verify failed") >= 2; }))
        << otherLog.all();
    other->finish();
    EXPECT_EQ(otherLog.count("connected"), 0);
}

TEST(MqttOutput, ASiteOfBatteriesSharesOneConnectionWhoseWillSpeaksForEveryBattery)
{
    ScratchDir dir;
    Broker broker(dir.path, "allow_anonymous true");
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    DarkPath path(broker.port);
    Site site{"rack", {}};
    for (const char* name : {"north", "south", "east"}) site.batteries.emplace_back().name = name;
    site.batteries[0].publicUrl = "http://qav.example:9788/";
    site.batteries[1].lowBattery = 35;
    LogLines log;
    std::string problem;
    std::unique_ptr<Output> output = startMqtt(optionsFor(path.port), site, &problem, log.sink());
    ASSERT_NE(output, nullptr) << problem;
    StateFeed north(*output, "north"), south(*output, "south"), east(*output, "east");
    ASSERT_TRUE(sub.waitLatest("qav/rack/connection", "online"));
    north.accepted(readingOf(answerA, "north"));
    south.accepted(readingOf(answerA, "south"));
    east.accepted(readingOf(answerB, "east"));
    for (const char* name : {"north", "south", "east"}) {
        SCOPED_TRACE(name);
        std::string own = std::string("qav/") + name + "/";
        EXPECT_TRUE(sub.waitLatest(own + "availability", "online"));
        nlohmann::json state = nlohmann::json::parse(sub.waitAny(own + "state").payload);
        EXPECT_EQ(state["battery"], name);
        EXPECT_EQ(state["gas_gauge_percent"], name == std::string("east") ? 100.0 : 85.0);
        nlohmann::json gauge = nlohmann::json::parse(sub.waitAny("homeassistant/sensor/qav_" + std::string(name) +
                                                                 "/gas_gauge/config").payload);
        EXPECT_EQ(gauge["device"]["identifiers"], nlohmann::json::array({std::string("qav_") + name}));
        EXPECT_EQ(gauge["device"]["configuration_url"], "http://qav.example:9788/battery/" + std::string(name) + "/");
        EXPECT_EQ(gauge["availability"], nlohmann::json::parse(R"([
            {"topic":"qav/rack/connection","payload_available":"online","payload_not_available":"offline"},
            {"topic":")" + own + R"(availability","payload_available":"online","payload_not_available":"offline"}])"));
        EXPECT_EQ(gauge["availability_mode"], "all");
        EXPECT_FALSE(gauge.contains("availability_topic"));
        EXPECT_EQ(nlohmann::json::parse(sub.waitAny(own + "health").payload)["replace"], false);
    }
    EXPECT_NE(sub.waitAny("homeassistant/binary_sensor/qav_south/battery_low/config").payload.find("<= 35 or"),
              std::string::npos);
    EXPECT_TRUE(eventually(10, [&] {
        int configs = 0;
        for (const Message& m : sub.all()) configs += m.topic.starts_with("homeassistant/");
        return configs == 3 * 68;
    }));

    // South goes stale on its own; an event reaches its own battery's topic only.
    south.freshness(false);
    EXPECT_TRUE(sub.waitLatest("qav/south/availability", "offline"));
    north.event({"north", "alert", "cell_1", 1700000002});
    EXPECT_EQ(sub.waitAny("qav/north/event").payload, R"({"detail":"cell_1","event":"alert","time":1700000002})");
    EXPECT_EQ(sub.on("qav/north/availability").back().payload, "online");
    EXPECT_EQ(sub.on("qav/east/availability").back().payload, "online");
    EXPECT_TRUE(sub.on("qav/south/event").empty() && sub.on("qav/east/event").empty());

    // The connection dies without a goodbye: the broker's will marks the site offline, and with it every
    // battery's entities; the next connection says online again and each battery's own availability.
    std::size_t before = sub.all().size();
    path.light();
    ASSERT_TRUE(sub.waitLatest("qav/rack/connection", "offline"));
    ASSERT_TRUE(sub.waitLatest("qav/rack/connection", "online", 30)) << log.all();
    std::vector<Message> since = sub.all();
    std::vector<std::string> after;
    for (auto m = since.begin() + static_cast<long>(before); m != since.end(); ++m)
        if (m->topic.ends_with("availability") || m->topic.ends_with("connection")) after.push_back(m->topic + " " + m->payload);
    EXPECT_EQ(after, std::vector<std::string>({"qav/rack/connection offline", "qav/north/availability online",
                                               "qav/south/availability offline", "qav/east/availability online",
                                               "qav/rack/connection online"}));
    EXPECT_EQ(log.count("rack: MQTT broker 127.0.0.1:" + std::to_string(path.port) + ": connection lost"), 1)
        << log.all();

    // A clean exit says offline for the site and for each battery.
    output->finish();
    for (const char* topic : {"qav/rack/connection", "qav/north/availability", "qav/east/availability"})
        EXPECT_TRUE(sub.waitLatest(topic, "offline")) << topic;
}
