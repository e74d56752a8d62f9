// battery32-run publishing to a real broker: what arrives, in what order, and
// what happens when the broker goes away, refuses or was never there.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "tests/tools/support/alarm_episode.h"
#include "tests/tools/support/mqtt_test_broker.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/common/time_text.h"
#include "tools/common/version.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;

const std::vector<std::uint32_t> kDevices = {1001, 1002};  // the example site
constexpr const char* kPrefix = "test/site";

struct Round {
    std::uint64_t number = 0;
    std::string record;  // the payload as the --json line would have it
    std::string state;
    std::string port_state;  // the object, as text
};

// {"data_id":...,"round":N,...,"state":"polling","port_state":{...}} split
// into the record's JSON line, the state and the port's state.
Round ParseState(const std::string& payload) {
    Round r;
    const std::size_t state_at = payload.rfind(",\"state\":\"");
    if (state_at == std::string::npos) return r;
    r.record = payload.substr(0, state_at) + "}";
    const std::size_t state_end = payload.find('"', state_at + 10);
    r.state = payload.substr(state_at + 10, state_end - state_at - 10);
    const std::string port_key = ",\"port_state\":";
    if (payload.compare(state_end + 1, port_key.size(), port_key) == 0) {
        const std::size_t from = state_end + 1 + port_key.size();
        r.port_state = payload.substr(from, payload.size() - 1 - from);
    }
    const std::size_t round_at = payload.find("\"round\":");
    if (round_at != std::string::npos) r.number = std::stoull(payload.substr(round_at + 8));
    return r;
}

// A --json line as MQTT carries it: its local time with the zone's offset.
std::string Served(std::string line) {
    const std::string key = "\"time\":\"";
    const std::size_t at = line.find(key);
    tm local{};
    if (at == std::string::npos ||
        !::strptime(line.substr(at + key.size(), 19).c_str(), "%Y-%m-%d %H:%M:%S", &local)) {
        return line;
    }
    local.tm_isdst = -1;
    return line.replace(at + key.size(), 19, time_text::IsoTime(local));
}

std::string StateTopic(std::uint32_t id) {
    return std::string(kPrefix) + "/" + std::to_string(id) + "/state";
}

// The runner's --json lines by device and round.
std::map<std::uint32_t, std::map<std::uint64_t, std::string>> JsonRounds(const RunnerProcess& run) {
    std::map<std::uint32_t, std::map<std::uint64_t, std::string>> rounds;
    for (const auto& line : LinesStartingWith(run.out(), "{\"data_id\":")) {
        const Round r = ParseState(line.substr(0, line.size() - 1) + ",\"state\":\"x\"}");
        rounds[static_cast<std::uint32_t>(std::stoul(line.substr(11)))][r.number] = line;
    }
    return rounds;
}

// Every line of the runner containing `part`.
std::vector<std::string> LinesWith(const RunnerProcess& run, const std::string& part) {
    std::vector<std::string> found;
    for (const auto* lines : {&run.out(), &run.err()})
        for (const auto& l : *lines)
            if (Contains(l, part)) found.push_back(l);
    return found;
}

class MqttPublish : public PseudoTerminalTest {
protected:
    void SetUp() override {
        PseudoTerminalTest::SetUp();
        if (IsSkipped()) return;
        if (::access(kBrokerProgram, X_OK) != 0) GTEST_SKIP() << "no " << kBrokerProgram;
        // The example modules without their changes over time: rounds only, the
        // counts below are of rounds.
        dir.Write("sim.json", R"({"modules": [
            {"address": 1, "cells": {"volts": 13.5, "noise": 0.02}, "current": 12.5,
             "temperature": 25.3},
            {"address": 2, "cells": {"profile": "ramp", "volts": 13.4, "to": 13.65, "weak_cell": 7,
             "weak_volts": 12.1}, "current": 12.5, "temperature": 26.1}]})");
    }
    std::vector<std::string> Args(const std::string& url, std::vector<std::string> more) {
        return RunnerArgs(
            "--simulate", "100",
            {{"--sim", dir.File("sim.json"), "--json", "--mqtt", url, "--mqtt-prefix", kPrefix},
             more});
    }
    // Keeps both the runner's output and the subscriber going until `done`.
    bool Until(RunnerProcess& run, TestSubscriber& sub, const std::function<bool()>& done,
               std::chrono::milliseconds timeout) {
        for (auto end = std::chrono::steady_clock::now() + timeout;
             std::chrono::steady_clock::now() < end;) {
            if (done()) return true;
            run.WaitForLine([](const std::string&) { return false; }, 20ms);
            sub.Service(20ms);
        }
        return done();
    }
    // Rounds received per device, in order of arrival.
    std::map<std::uint32_t, std::vector<Round>> Received(const TestSubscriber& sub) {
        std::map<std::uint32_t, std::vector<Round>> all;
        for (std::uint32_t id : kDevices)
            for (const auto& p : sub.On(StateTopic(id))) all[id].push_back(ParseState(p));
        return all;
    }
    std::uint64_t Highest(const TestSubscriber& sub, std::uint32_t id) {
        std::uint64_t high = 0;
        const auto received = Received(sub);
        if (!received.count(id)) return 0;
        for (const auto& r : received.at(id)) high = std::max(high, r.number);
        return high;
    }
    std::uint64_t LowestOfAll(const TestSubscriber& sub) {
        std::uint64_t low = UINT64_MAX;
        for (std::uint32_t id : kDevices) low = std::min(low, Highest(sub, id));
        return low;
    }
    // Each device's rounds arrive in order: rounds seen for the first time come
    // in increasing order without a gap, from `first` on; repeats are counted.
    // Every payload carries exactly what the --json line of that round says.
    void ExpectInOrderAndExact(const TestSubscriber& sub, const RunnerProcess& run,
                               std::map<std::uint32_t, std::uint64_t> first,
                               int* repeats = nullptr) {
        const auto json = JsonRounds(run);
        for (const auto& [id, rounds] : Received(sub)) {
            std::uint64_t expected = first.count(id) ? first[id] : 1;
            std::set<std::uint64_t> seen;
            for (const Round& r : rounds) {
                EXPECT_EQ(r.state, "polling");
                // The simulated line: a pseudo-terminal, no echo, no RS-485 interface.
                EXPECT_EQ(r.port_state.rfind("{\"node\":\"/dev/pts/", 0), 0u) << r.port_state;
                EXPECT_TRUE(Contains(r.port_state,
                                     "\",\"reopens\":0,\"echo\":false,"
                                     "\"garbled_echoes\":0,\"rs485\":null}"))
                    << r.port_state;
                ASSERT_TRUE(json.at(id).count(r.number)) << id << " round " << r.number;
                EXPECT_EQ(r.record, Served(json.at(id).at(r.number)));
                if (!seen.insert(r.number).second) {
                    if (repeats) ++*repeats;
                    continue;
                }
                EXPECT_EQ(r.number, expected)
                    << "device " << id << ": a round lost or out of order";
                expected = r.number + 1;
            }
        }
    }
};

TEST_F(MqttPublish, EveryRoundArrivesWithTheRecordsValuesAndDiscoveryDescribesIt) {
    TestBroker broker(dir);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    TestSubscriber sub(broker.port(), "test-all", "#");
    sub.Service(200ms);  // subscribed before anything is published
    RunnerProcess run(Args(broker.url(), {"--rounds", "15", "--mqtt-discovery"}));
    const auto availability = [&] { return sub.On(std::string(kPrefix) + "/availability"); };
    ASSERT_TRUE(Until(
        run, sub, [&] { return LowestOfAll(sub) >= 15 && availability().size() >= 2; }, 30s))
        << run.Transcript();
    ASSERT_EQ(run.Wait(10s), 0) << run.Transcript();
    EXPECT_EQ(availability(), (std::vector<std::string>{"online", "offline"}));
    int repeats = 0;
    ExpectInOrderAndExact(sub, run, {}, &repeats);
    EXPECT_EQ(repeats, 0);
    for (std::uint32_t id : kDevices) EXPECT_EQ(Highest(sub, id), JsonRounds(run)[id].size());
    EXPECT_EQ(LinesWith(run, "mqtt: " + std::to_string(LinesStartingWith(run.out(), "{").size()) +
                                 " rounds acknowledged")
                  .size(),
              1u)
        << run.Transcript();

    // One sensor per cell, group voltage, current, temperature and energy counter, per device.
    std::map<std::string, Json::Value> configs;
    for (const auto& m : sub.messages()) {
        if (m.topic.rfind("homeassistant/sensor/", 0) != 0 || Contains(m.topic, "alarm")) continue;
        Json::Value v;
        ASSERT_TRUE(Json::Reader().parse(m.payload, v)) << m.payload;
        configs[m.topic] = v;
    }
    ASSERT_EQ(configs.size(), 2u * 39u);
    const Json::Value& cell7 = configs.at("homeassistant/sensor/test_site_1002/cell_07/config");
    EXPECT_EQ(cell7["state_topic"].asString(), StateTopic(1002));
    EXPECT_EQ(cell7["value_template"].asString(), "{{ value_json.cell_voltage[6] }}");
    EXPECT_EQ(cell7["unit_of_measurement"].asString(), "V");
    // Available while the runner and the device both are; gone two silence
    // periods (10 s at this tick) after its last value.
    ASSERT_EQ(cell7["availability"].size(), 2u) << cell7.toStyledString();
    EXPECT_EQ(cell7["availability"][0]["topic"].asString(), std::string(kPrefix) + "/availability");
    EXPECT_EQ(cell7["availability"][1]["topic"].asString(),
              std::string(kPrefix) + "/1002/availability");
    EXPECT_EQ(cell7["availability_mode"].asString(), "all");
    EXPECT_EQ(cell7["expire_after"].asInt(), 20);
    EXPECT_EQ(cell7["device"]["name"].asString(), "string A, module 2");
    EXPECT_EQ(cell7["device"]["sw_version"].asString(), version::Text());
    const Json::Value& temp = configs.at("homeassistant/sensor/test_site_1001/temperature/config");
    EXPECT_EQ(temp["unit_of_measurement"].asString(),
              "\xC2\xB0"
              "C");
    EXPECT_EQ(temp["value_template"].asString(), "{{ value_json.temperature }}");
    EXPECT_NE(temp["device"]["identifiers"], cell7["device"]["identifiers"]);
    EXPECT_EQ(temp["unique_id"].asString(), "test_site_1001_temperature");
    EXPECT_EQ(temp["state_class"].asString(), "measurement");
    // Energy that only grows, as an energy dashboard takes it.
    const Json::Value& charged =
        configs.at("homeassistant/sensor/test_site_1001/charged_kwh/config");
    EXPECT_EQ(charged["value_template"].asString(), "{{ value_json.energy.charged_kwh }}");
    EXPECT_EQ(charged["unit_of_measurement"].asString(), "kWh");
    EXPECT_EQ(charged["device_class"].asString(), "energy");
    EXPECT_EQ(charged["state_class"].asString(), "total_increasing");
    const Json::Value& out_ah =
        configs.at("homeassistant/sensor/test_site_1002/discharged_ah/config");
    EXPECT_EQ(out_ah["value_template"].asString(), "{{ value_json.energy.discharged_ah }}");
    EXPECT_EQ(out_ah["unit_of_measurement"].asString(), "Ah");
    EXPECT_FALSE(out_ah.isMember("device_class")) << "no device class measures charge";
    EXPECT_EQ(out_ah["state_class"].asString(), "total_increasing");
}

// A reload that removes 1002 and names 1001 (which restarts it): every
// discovery config of 1002 is emptied and its availability stays "offline";
// 1001 is described again by its new name and counts its rounds from 1 again.
TEST_F(MqttPublish, ReloadTakesARemovedDeviceOutOfDiscoveryAndDescribesARestartedOne) {
    TestBroker broker(dir);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    TestSubscriber sub(broker.port(), "test-all", "#");
    sub.Service(200ms);
    const std::string d1 = DeviceJson(1001, 1, "/dev/ttyS1");
    dir.Write("site.json", SiteJson({d1, DeviceJson(1002, 2, "/dev/ttyS1")}));
    RunnerProcess run(RunnerArgs(dir.File("site.json"), "100",
                                 {{"--simulate", "--sim", dir.File("sim.json"), "--json", "--mqtt",
                                   broker.url(), "--mqtt-prefix", kPrefix, "--mqtt-discovery"}}));
    ASSERT_TRUE(Until(
        run, sub, [&] { return LowestOfAll(sub) >= 3; }, 30s))
        << run.Transcript();
    dir.Write("site.json", SiteJson({"{\"name\": \"renamed\", " + d1.substr(1)}));
    run.Signal(SIGHUP);
    const auto restarted = [&] {
        const auto rounds = Received(sub)[1001];
        return std::count_if(rounds.begin(), rounds.end(),
                             [](const Round& r) { return r.number == 1; }) == 2;
    };
    ASSERT_TRUE(Until(run, sub, restarted, 30s)) << run.Transcript();
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(10s), 0) << run.Transcript();

    std::map<std::string, std::string> configs;  // the last of each, by topic
    for (const auto& m : sub.messages())
        if (m.topic.rfind("homeassistant/", 0) == 0) configs[m.topic] = m.payload;
    std::size_t emptied = 0;
    for (const auto& [topic, payload] : configs) {
        if (!Contains(topic, "/test_site_1002/")) continue;
        EXPECT_EQ(payload, "") << topic;
        ++emptied;
    }
    EXPECT_EQ(emptied, 41u);
    EXPECT_EQ(sub.On(std::string(kPrefix) + "/1002/availability").back(), "offline");
    Json::Value cell;
    ASSERT_TRUE(
        Json::Reader().parse(configs["homeassistant/sensor/test_site_1001/cell_07/config"], cell));
    EXPECT_EQ(cell["device"]["name"].asString(), "renamed");
}

// The broker comes only once the first alarm is raised: that alarm waits in
// the queue like a round. Each episode is then one raise and one clear, as
// the runner printed them; the device's retained set follows, and discovery
// describes it.
TEST_F(MqttPublish, AlarmChangesArriveOnceAndTheActiveSetIsRetained) {
    TestBroker broker(dir);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    TestSubscriber sub(broker.port(), "test-alarms", "#");
    sub.Service(200ms);
    broker.Stop();
    SimulatedLine line({EpisodeModule()});
    dir.Write("site.json", EpisodeSite(line.path()));
    std::vector<std::string> args = RunnerArgs(
        dir.File("site.json"), "150",
        {{"--json", "--mqtt", broker.url(), "--mqtt-prefix", kPrefix, "--mqtt-discovery"}});
    for (const std::string& a : EpisodeArgs()) args.push_back(a);
    RunnerProcess run(args, line.test_side_fds());
    line.Start();
    ASSERT_TRUE(run.WaitForLine(
        [](const std::string& l) { return Contains(l, "\"alarm\":\"raised\""); }, 20s))
        << run.Transcript();
    ASSERT_TRUE(broker.Start()) << broker.Log();
    const std::string events = std::string(kPrefix) + "/1001/alarm";
    ASSERT_TRUE(Until(
        run, sub, [&] { return sub.On(events).size() >= EpisodeAlarms().size(); }, 30s))
        << run.Transcript();
    ASSERT_EQ(run.Wait(20s), 0) << run.Transcript();
    sub.Service(300ms);
    EXPECT_EQ(sub.On(events), LinesStartingWith(run.out(), "{\"alarm\":"));
    EXPECT_EQ(AlarmLines(sub.On(events)), EpisodeAlarms());

    // The retained set: its levels as they went, ending with none active.
    std::vector<int> levels;
    for (const std::string& payload : sub.On(std::string(kPrefix) + "/1001/alarms")) {
        Json::Value v;
        ASSERT_TRUE(Json::Reader().parse(payload, v)) << payload;
        if (levels.empty() || levels.back() != v["level"].asInt())
            levels.push_back(v["level"].asInt());
        EXPECT_EQ(v["active"].size(), v["level"].asInt() == 0 ? 0u : 1u) << payload;
    }
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(levels.back(), 0);
    EXPECT_NE(std::find(levels.begin(), levels.end(), 3), levels.end()) << "no lost communication";
    EXPECT_EQ(
        LinesWith(run, "mqtt: 25 rounds, 1 state change and 4 alarm changes acknowledged").size(),
        1u)
        << run.Transcript();

    std::map<std::string, Json::Value> configs;
    for (const auto& m : sub.messages()) {
        if (m.topic.find("/test_site_1001/alarm") == std::string::npos) continue;
        ASSERT_TRUE(Json::Reader().parse(m.payload, configs[m.topic])) << m.payload;
    }
    const Json::Value& problem = configs["homeassistant/binary_sensor/test_site_1001/alarm/config"];
    EXPECT_EQ(problem["device_class"].asString(), "problem");
    EXPECT_EQ(problem["state_topic"].asString(), std::string(kPrefix) + "/1001/alarms");
    const Json::Value& level = configs["homeassistant/sensor/test_site_1001/alarm_level/config"];
    EXPECT_EQ(level["value_template"].asString(), "{{ value_json.level }}");
    // A silent device's alarm must show: only the runner's going makes it unavailable.
    EXPECT_EQ(level["availability_topic"].asString(), std::string(kPrefix) + "/availability");
}

// A module that stops answering: once the runner calls it silent, what the
// broker retains says so (its state "silent" with its last record, its
// availability "offline"), and says it answers again once it does.
TEST_F(MqttPublish, DeadModuleGoesUnavailableAndComesBack) {
    TestBroker broker(dir);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    SimulatedLine line({EpisodeModule()});
    dir.Write("site.json", EpisodeSite(line.path()));
    std::vector<std::string> args = RunnerArgs(
        dir.File("site.json"), "150", {{"--mqtt", broker.url(), "--mqtt-prefix", kPrefix}});
    for (const std::string& a : EpisodeArgs()) args.push_back(a);
    RunnerProcess run(args, line.test_side_fds());
    line.Start();
    // What a subscriber that comes now is told: the retained state and availability.
    const auto retained = [&](const std::string& state, const std::string& availability) {
        TestSubscriber probe(broker.port(), "probe-" + state, std::string(kPrefix) + "/1001/#");
        return Until(
            run, probe,
            [&] {
                const auto states = probe.On(StateTopic(1001));
                const auto available = probe.On(std::string(kPrefix) + "/1001/availability");
                return !states.empty() && ParseState(states.back()).state == state &&
                       !available.empty() && available.back() == availability;
            },
            5s);
    };
    ASSERT_TRUE(
        run.WaitForLine([](const std::string& l) { return Contains(l, "[1001] silent: "); }, 20s))
        << run.Transcript();
    EXPECT_TRUE(retained("silent", "offline")) << run.Transcript();
    ASSERT_TRUE(run.WaitForLine(
        [](const std::string& l) { return Contains(l, "[1001] answering again"); }, 20s))
        << run.Transcript();
    EXPECT_TRUE(retained("polling", "online")) << run.Transcript();
    EXPECT_EQ(run.Wait(20s), 0) << run.Transcript();
}

TEST_F(MqttPublish, BrokerAwayForSecondsLosesNoRoundAndAKilledRunnerGoesOffline) {
    TestBroker broker(dir);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    TestSubscriber sub(broker.port(), "test-restart", std::string(kPrefix) + "/#");
    sub.Service(200ms);
    RunnerProcess run(Args(broker.url(), {}));
    ASSERT_TRUE(Until(
        run, sub, [&] { return LowestOfAll(sub) >= 5; }, 30s))
        << run.Transcript();

    broker.Stop();
    ASSERT_TRUE(run.WaitForLine(
        [](const std::string& l) { return Contains(l, "mqtt: lost the broker"); }, 10s))
        << run.Transcript();
    Until(
        run, sub, [] { return false; }, 2500ms);
    std::uint64_t completed_while_away = 0;
    for (const auto& [id, rounds] : JsonRounds(run))
        completed_while_away = std::max(completed_while_away, rounds.rbegin()->first);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    ASSERT_TRUE(Until(
        run, sub, [&] { return LowestOfAll(sub) > completed_while_away + 3; }, 40s))
        << run.Transcript();

    run.Signal(SIGKILL);
    run.Wait(10s);
    const std::string topic = std::string(kPrefix) + "/availability";
    ASSERT_TRUE(Until(
        run, sub, [&] { return !sub.On(topic).empty() && sub.On(topic).back() == "offline"; },
        10s));
    // The broker sends the will of every client it drops when it shuts down
    // too, so the outage shows as offline; QoS 1 may repeat a message.
    std::vector<std::string> availability = sub.On(topic);
    availability.erase(std::unique(availability.begin(), availability.end()), availability.end());
    EXPECT_EQ(availability, (std::vector<std::string>{"online", "offline", "online", "offline"}));
    int repeats = 0;
    ExpectInOrderAndExact(sub, run, {}, &repeats);
    RecordProperty("repeated_rounds", repeats);
    EXPECT_EQ(LinesWith(run, "mqtt: lost the broker").size(), 1u) << run.Transcript();
    EXPECT_EQ(LinesWith(run, "mqtt: connected to").size(), 2u) << run.Transcript();
}

// The runner starts while the broker is down: it polls on, says so once,
// keeps trying, and when the broker comes delivers the newest rounds its
// queue held, having dropped (and counted) the oldest.
TEST_F(MqttPublish, UnreachableAtStartKeepsPollingAndDropsTheOldestBeyondTheQueue) {
    TestBroker broker(dir);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    TestSubscriber sub(broker.port(), "test-late", std::string(kPrefix) + "/#");
    sub.Service(200ms);
    ASSERT_TRUE(sub.connected());
    broker.Stop();

    RunnerProcess run(Args(broker.url(), {"--mqtt-queue", "3"}));
    ASSERT_TRUE(Until(
        run, sub, [&] { return JsonRounds(run)[1002].size() >= 10; }, 30s))
        << run.Transcript();
    ASSERT_TRUE(broker.Start()) << broker.Log();
    ASSERT_TRUE(run.WaitForLine(
        [](const std::string& l) { return Contains(l, "mqtt: connected to"); }, 20s))
        << run.Transcript();
    ASSERT_TRUE(Until(
        run, sub, [&] { return LowestOfAll(sub) >= 12; }, 20s))
        << run.Transcript();
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(20s), 0) << run.Transcript();

    EXPECT_EQ(LinesWith(run, "mqtt: cannot reach the broker").size(), 1u) << run.Transcript();
    EXPECT_EQ(LinesWith(run, "mqtt: queue full (6 rounds)").size(), 1u) << run.Transcript();
    const auto summary = LinesWith(run, "rounds acknowledged by the broker");
    ASSERT_EQ(summary.size(), 1u) << run.Transcript();
    const std::size_t at = summary[0].find(" dropped (queue full)");
    const std::uint64_t dropped = std::stoull(summary[0].substr(summary[0].rfind(", ", at) + 2));
    std::map<std::uint32_t, std::uint64_t> first;
    std::uint64_t missing = 0;
    for (const auto& [id, rounds] : Received(sub)) {
        ASSERT_FALSE(rounds.empty());
        first[id] = rounds.front().number;
        EXPECT_GT(first[id], 1u) << "device " << id << ": its oldest rounds should have gone";
        missing += first[id] - 1;
    }
    EXPECT_EQ(dropped, missing) << summary[0];
    ExpectInOrderAndExact(sub, run, first);
}

TEST_F(MqttPublish, LogsInWithTheCredentialsFileAndSaysOnceWhenRefused) {
    const std::string passwords = dir.File("passwords");
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " gateway s3cret").c_str()), 0);
    TestBroker broker(dir, "allow_anonymous false\npassword_file " + passwords + "\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    TestSubscriber sub(broker.port(), "test-login", "#", "gateway", "s3cret");
    sub.Service(200ms);

    dir.Write("good", "# for the test broker\nusername=gateway\npassword=s3cret\n");
    ::chmod(dir.File("good").c_str(), 0600);
    RunnerProcess good(
        Args(broker.url(), {"--rounds", "3", "--mqtt-credentials", dir.File("good")}));
    ASSERT_TRUE(Until(
        good, sub, [&] { return LowestOfAll(sub) >= 3; }, 30s))
        << good.Transcript();
    EXPECT_EQ(good.Wait(10s), 0) << good.Transcript();

    dir.Write("bad", "username=gateway\npassword=wrong\n");
    ::chmod(dir.File("bad").c_str(), 0600);
    RunnerProcess bad(
        Args(broker.url(), {"--rounds", "25", "--mqtt-credentials", dir.File("bad")}));
    EXPECT_EQ(bad.Wait(30s), 0) << bad.Transcript();  // kept polling to the end
    const auto refused = LinesWith(bad, "refused the connection");
    ASSERT_EQ(refused.size(), 1u) << bad.Transcript();
    EXPECT_TRUE(Contains(refused[0], "not authorised")) << refused[0];
    // Every round it completed is still waiting: none was taken for delivered.
    const std::size_t completed = LinesStartingWith(bad.out(), "{\"data_id\":").size();
    EXPECT_GE(completed, 50u);
    EXPECT_EQ(LinesWith(bad, ", " + std::to_string(completed) + " undelivered at exit").size(), 1u)
        << bad.Transcript();
}

// mqtts:// with the CA that signed the broker's certificate (for the name the
// URL gives) connects; with the system's CAs, which do not know it, it must not.
TEST_F(MqttPublish, TlsTrustsTheGivenCaOnly) {
    const std::string d = dir.path();
    const std::string make_certificates =
        "cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt " +
        "-days 2 -subj /CN=test-ca && openssl req -newkey rsa:2048 -nodes -keyout broker.key " +
        "-out broker.csr -subj /CN=localhost && echo subjectAltName=DNS:localhost > ext && " +
        "openssl x509 -req -in broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial " +
        "-out broker.crt -days 2 -extfile ext";
    ASSERT_EQ(std::system((make_certificates + " >/dev/null 2>&1").c_str()), 0);
    TestBroker broker(
        dir, "allow_anonymous true\ncertfile " + d + "/broker.crt\nkeyfile " + d + "/broker.key\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    const std::string url = "mqtts://localhost:" + std::to_string(broker.port());

    RunnerProcess trusted(Args(url, {"--rounds", "3", "--mqtt-cafile", dir.File("ca.crt")}));
    EXPECT_EQ(trusted.Wait(30s), 0) << trusted.Transcript();
    EXPECT_EQ(LinesWith(trusted, "mqtt: connected to localhost:").size(), 1u)
        << trusted.Transcript();
    EXPECT_EQ(LinesWith(trusted, " 0 undelivered at exit").size(), 1u) << trusted.Transcript();

    RunnerProcess stranger(Args(url, {"--rounds", "3"}));
    EXPECT_EQ(stranger.Wait(30s), 0) << stranger.Transcript();
    EXPECT_EQ(LinesWith(stranger, "mqtt: cannot reach the broker").size(), 1u)
        << stranger.Transcript();
    EXPECT_TRUE(LinesWith(stranger, "mqtt: connected").empty()) << stranger.Transcript();
}

// Two runners with one prefix share a client id, and the broker drops each
// as the other connects. Each names the likely cause once, and tries again
// less and less often instead of knocking the other off twice a second.
TEST_F(MqttPublish, TwoRunnersWithOnePrefixAreToldWhyTheyKeepBeingDropped) {
    TestBroker broker(dir);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    const std::string availability = std::string(kPrefix) + "/availability";
    TestSubscriber sub(broker.port(), "test-twins", availability);
    sub.Service(200ms);
    RunnerProcess first(Args(broker.url(), {"--time-limit", "40"}));
    ASSERT_TRUE(first.WaitForLine(
        [](const std::string& l) { return Contains(l, "mqtt: connected to"); }, 20s))
        << first.Transcript();
    RunnerProcess second(Args(broker.url(), {"--data", dir.File("data2"), "--time-limit", "40"}));
    const std::string cause = "most likely another client connects with the same client id";
    const auto both_told = [&] {
        return !LinesWith(first, cause).empty() && !LinesWith(second, cause).empty();
    };
    const auto serve = [&](std::chrono::milliseconds time) {
        for (auto end = std::chrono::steady_clock::now() + time;
             std::chrono::steady_clock::now() < end && !(time == 0ms && both_told());) {
            first.WaitForLine([](const std::string&) { return false; }, 20ms);
            second.WaitForLine([](const std::string&) { return false; }, 20ms);
            sub.Service(20ms);
        }
    };
    for (int i = 0; i < 300 && !both_told(); ++i) serve(60ms);
    ASSERT_TRUE(both_told()) << first.Transcript() << second.Transcript();
    const std::size_t connections_before = sub.On(availability).size();
    serve(8s);
    // Back-offs of 2, 4 and 8 s: a few connections each; starting over at
    // 0.5 s after every one of them, more than a dozen.
    EXPECT_LT(sub.On(availability).size() - connections_before, 10u);
    for (RunnerProcess* run : {&first, &second}) {
        run->Signal(SIGTERM);
        EXPECT_EQ(run->Wait(20s), 0) << run->Transcript();
        EXPECT_EQ(LinesWith(*run, cause).size(), 1u) << run->Transcript();
    }
}

// Something answers at the broker's address, but not as a broker: said so,
// not as "a network protocol error".
TEST_F(MqttPublish, WhatAnswersWithoutBeingABrokerIsNamed) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    RunnerProcess run(Args(url, {"--time-limit", "20"}), {listener});
    const std::string reason = "(what answered there is not an MQTT broker)";
    std::optional<std::string> said;
    std::vector<int> clients;  // kept open: a close would read as a reset
    for (int i = 0; i < 200 && !said; ++i) {
        if (const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); client >= 0) {
            const std::string http =
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 200\r\n\r\n" + std::string(200, '-');
            EXPECT_GT(::write(client, http.data(), http.size()), 0);
            clients.push_back(client);
        }
        said = run.WaitForLine([&](const std::string& l) { return Contains(l, reason); }, 100ms);
    }
    EXPECT_TRUE(said) << run.Transcript();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(20s), 0) << run.Transcript();
    for (const int fd : clients) ::close(fd);
    ::close(listener);
}

struct BadMqttCommand {
    const char* name;
    std::vector<std::string> args;
    int exit_status;
    const char* complaint;
};

void PrintTo(const BadMqttCommand& c, std::ostream* os) { *os << c.name; }

class MqttBadCommand : public ::testing::TestWithParam<BadMqttCommand> {
protected:
    TempDir dir;
};

TEST_P(MqttBadCommand, SaysWhatIsWrongInOneLine) {
    std::vector<std::string> args = {"--simulate", "--plugin",       BATTERY32_PLUGIN_PATH,
                                     "--data",     dir.File("data"), "--time-limit",
                                     "5"};
    for (const auto& a : GetParam().args) args.push_back(a == "MISSING" ? dir.File("none") : a);
    RunnerProcess run(args);
    EXPECT_EQ(run.Wait(30s), GetParam().exit_status) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], GetParam().complaint)) << run.err()[0];
}

INSTANTIATE_TEST_SUITE_P(
    Commands, MqttBadCommand,
    ::testing::Values(
        BadMqttCommand{"OtherScheme", {"--mqtt", "http://broker"}, 2, "must start with mqtt://"},
        BadMqttCommand{"NoHost", {"--mqtt", "mqtt://:1883"}, 2, "names no host"},
        BadMqttCommand{"PortTooBig", {"--mqtt", "mqtt://broker:65536"}, 2, "not 1..65535"},
        BadMqttCommand{"PortText", {"--mqtt", "mqtt://broker:mqtt"}, 2, "not 1..65535"},
        BadMqttCommand{"PasswordInUrl", {"--mqtt", "mqtt://u:p@broker"}, 2, "--mqtt-credentials"},
        BadMqttCommand{
            "WildcardPrefix", {"--mqtt", "mqtt://b", "--mqtt-prefix", "a/#"}, 2, "without + or #"},
        BadMqttCommand{"ReservedPrefix",
                       {"--mqtt", "mqtt://b", "--mqtt-prefix", "$SYS/gw"},
                       2,
                       "--mqtt-prefix $SYS/gw: must not start with $"},
        BadMqttCommand{
            "NoQueue", {"--mqtt", "mqtt://b", "--mqtt-queue", "0"}, 2, "--mqtt-queue needs"},
        BadMqttCommand{
            "CafileWithoutTls", {"--mqtt", "mqtt://b", "--mqtt-cafile", "ca.pem"}, 2, "mqtts://"},
        BadMqttCommand{"DiscoveryAlone", {"--mqtt-discovery"}, 2, "need --mqtt URL"},
        BadMqttCommand{"NoCredentialsFile",
                       {"--mqtt", "mqtt://b", "--mqtt-credentials", "MISSING"},
                       1,
                       "cannot read"},
        BadMqttCommand{"CredentialsDirectory",
                       {"--mqtt", "mqtt://b", "--mqtt-credentials", "/tmp"},
                       1,
                       "MQTT credentials /tmp: not a regular file (a directory)"},
        BadMqttCommand{"CredentialsEndless",
                       {"--mqtt", "mqtt://b", "--mqtt-credentials", "/dev/zero"},
                       1,
                       "not a regular file (a character device)"},
        BadMqttCommand{"CafileEndless",
                       {"--mqtt", "mqtts://b", "--mqtt-cafile", "/dev/zero"},
                       1,
                       "--mqtt-cafile /dev/zero: not a regular file"}));

}  // namespace
}  // namespace tools_test
