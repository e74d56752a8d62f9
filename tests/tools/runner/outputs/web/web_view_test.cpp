// End to end: the web view of battery32-run over a real socket, served while
// the runner polls simulated modules; what it shows is checked against the
// records the runner publishes (--json) and stores.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/tools/support/alarm_episode.h"
#include "tests/tools/support/http_client.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/common/time_text.h"
#include "tools/common/version.h"
#include "tools/record/history_file.h"
#include "tools/record/record_format.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;

constexpr auto kGenerous = 60s;
const std::vector<std::uint32_t> kExampleDevices = {1001, 1002};

Json::Value Parse(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors << "\n" << text;
    return value;
}

// A record as the API serves it: the --json line's local time with the
// zone's offset.
Json::Value Served(Json::Value record) {
    tm local{};
    if (!::strptime(record["time"].asCString(), "%Y-%m-%d %H:%M:%S", &local)) return record;
    local.tm_isdst = -1;
    record["time"] = time_text::IsoTime(local);
    return record;
}

std::string RoundPrefix(std::uint32_t data_id, std::uint64_t round) {
    return "{\"data_id\":" + std::to_string(data_id) + ",\"round\":" + std::to_string(round) + ",";
}

// The example site on simulated modules, with the web view on a free port.
class WebView : public PseudoTerminalTest {
protected:
    void SetUp() override {
        // A zone east of UTC with summer time, in the test and the runner alike.
        ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        ::tzset();
        PseudoTerminalTest::SetUp();
    }
    void Start(std::vector<std::string> more = {}) {
        run = std::make_unique<RunnerProcess>(RunnerArgs(
            "--simulate", "150",
            {{"--json", "--http", "127.0.0.1:0", "--time-limit", "60", "--history-every-round"},
             more}));
        const std::string note = "battery32-run: web view at http://127.0.0.1:";
        const auto line = run->WaitForLine(
            [&](const std::string& l) { return l.compare(0, note.size(), note) == 0; }, kGenerous);
        ASSERT_TRUE(line) << run->Transcript();
        port = std::atoi(line->c_str() + note.size());
        ASSERT_GT(port, 0) << *line;
    }
    // The record the runner printed for `round` of `data_id`.
    Json::Value Published(std::uint32_t data_id, std::uint64_t round) {
        const std::string prefix = RoundPrefix(data_id, round);
        for (const std::string& l : run->out())
            if (l.compare(0, prefix.size(), prefix) == 0) return Served(Parse(l));
        const auto line = run->WaitForLine(
            [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; },
            kGenerous);
        EXPECT_TRUE(line) << "no --json line for " << prefix;
        return line ? Served(Parse(*line)) : Json::Value();
    }
    // Reads what the runner printed, so that it never waits on a full pipe.
    void Drain() {
        run->WaitForLine([](const std::string&) { return false; }, 10ms);
    }
    void TearDown() override {
        if (!run) return;
        run->Signal(SIGTERM);
        EXPECT_EQ(run->Wait(kGenerous), 0) << run->Transcript();
    }
    std::unique_ptr<RunnerProcess> run;
    int port = 0;
};

TEST_F(WebView, DevicesCarryTheLatestPublishedRecord) {
    Start();
    for (std::uint32_t id : kExampleDevices) Published(id, 3);
    const HttpReply reply = HttpGet(port, "/api/devices");
    ASSERT_EQ(reply.status, 200) << reply.head;
    EXPECT_NE(reply.head.find("Content-Type: application/json"), std::string::npos) << reply.head;
    EXPECT_EQ(Parse(reply.body)["version"].asString(), version::Text()) << reply.body;
    const Json::Value devices = Parse(reply.body)["devices"];
    ASSERT_EQ(devices.size(), kExampleDevices.size()) << reply.body;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
        const Json::Value& d = devices[i];
        EXPECT_EQ(d["data_id"].asUInt(), kExampleDevices[i]);
        EXPECT_EQ(d["state"].asString(), "polling");
        EXPECT_FALSE(d["stale"].asBool());
        const std::uint64_t round = d["record"]["round"].asUInt64();
        EXPECT_GE(round, 3u);
        EXPECT_GE(d["rounds"].asUInt64(), round);
        EXPECT_GE(d["history_records"].asUInt64(), 1u);
        EXPECT_EQ(d["record"], Published(kExampleDevices[i], round)) << d.toStyledString();
        // The counters as of the record shown, which carries them too.
        EXPECT_EQ(d["energy"], d["record"]["energy"]) << d.toStyledString();
        EXPECT_GT(d["energy"]["charged_kwh"].asDouble(), 0) << d.toStyledString();
        // Times name their zone's offset ("2026-12-08T16:21:45+01:00").
        const std::string last_round = d["last_round"].asString();
        EXPECT_EQ(last_round.size(), 25u) << last_round;
        EXPECT_EQ(last_round.find_first_of("+-", 19), 19u) << last_round;
        // Its port: the simulated line's pseudo-terminal, which neither echoes
        // nor has an RS-485 interface.
        const Json::Value& port = d["port_state"];
        EXPECT_EQ(port["node"].asString(), d["port"].asString()) << d.toStyledString();
        EXPECT_EQ(port["reopens"].asUInt64(), 0u);
        EXPECT_FALSE(port["echo"].asBool());
        EXPECT_TRUE(port["rs485"].isNull()) << d.toStyledString();
    }
}

// The history file as the test reads it, between two of its own times.
TEST_F(WebView, HistoryBetweenTwoTimesIsTheStoredRecordsInThatSpan) {
    Start();
    Published(1001, 12);
    record::HistoryReader stored(dir.File("data/device-1001.history"), record::kRecordSize);
    std::vector<std::string> lines;
    while (const std::uint8_t* image = stored.Next()) {
        lines.push_back(record::JsonLine(*record::DecodeRecord(image, record::kRecordSize),
                                         std::nullopt, std::nullopt));
    }
    ASSERT_GE(lines.size(), 10u);
    const std::string from = Parse(lines[2])["time"].asString();
    const std::string to = Parse(lines[lines.size() - 3])["time"].asString();
    std::vector<std::string> expected;
    for (const auto& l : lines) {
        const std::string t = Parse(l)["time"].asString();
        if (t >= from && t <= to) expected.push_back(l);
    }
    tm local{};
    ASSERT_TRUE(::strptime(from.c_str(), "%Y-%m-%d %H:%M:%S", &local));
    local.tm_isdst = -1;
    const std::string from_epoch = std::to_string(::mktime(&local));
    auto spaced = [](std::string t) { return t.replace(10, 1, "%20"); };
    for (const std::string& from_text : {spaced(from), from_epoch}) {
        SCOPED_TRACE(from_text);
        const HttpReply reply =
            HttpGet(port, "/api/history?device=1001&from=" + from_text + "&to=" + spaced(to));
        ASSERT_EQ(reply.status, 200) << reply.head;
        const Json::Value got = Parse(reply.body);
        // Records stored after the test read the file may share the last second.
        ASSERT_GE(got.size(), expected.size()) << reply.body;
        for (Json::ArrayIndex i = 0; i < got.size(); ++i) {
            if (i < expected.size()) {
                EXPECT_EQ(got[i], Served(Parse(expected[i]))) << i;
            } else {
                EXPECT_EQ(got[i]["time"], Served(Parse(lines[lines.size() - 3]))["time"]) << i;
            }
        }
    }
    const HttpReply every_third =
        HttpGet(port, "/api/history?device=1001&to=" + spaced(to) + "&step=3");
    const Json::Value thinned = Parse(every_third.body);
    ASSERT_GE(thinned.size(), 2u) << every_third.body;
    EXPECT_EQ(thinned[0], Served(Parse(lines[0])));
    EXPECT_EQ(thinned[1], Served(Parse(lines[3])));
}

// A history far longer than one pass's slice comes whole and in order: the
// answer is put off from pass to pass, never dropped or stalled.
TEST_F(WebView, LongHistoryComesWholeSliceBySlice) {
    constexpr int kStored = 3000;  // about 1.8 MB of JSON
    std::string file;
    for (int i = 0; i < kStored; ++i) {
        Battery32_Data_t r{};
        r.data_id = 1002;
        for (float& cell : r.cell_voltage) cell = 13.25f;
        r.group_voltage = 424.0f;
        r.timestamp = ttime{{0xE9, 0x07},
                            3,
                            static_cast<std::uint8_t>(1 + i / 1440),
                            static_cast<std::uint8_t>(i / 60 % 24),
                            static_cast<std::uint8_t>(i % 60),
                            0};
        file.append(reinterpret_cast<const char*>(&r), sizeof r);
    }
    ::mkdir(dir.File("data").c_str(), 0755);
    dir.Write("data/device-1002.history", file);
    Start();
    const HttpReply reply = HttpGet(port, "/api/history?device=1002&to=2025-12-31%2000:00:00");
    ASSERT_EQ(reply.status, 200) << reply.head;
    const Json::Value got = Parse(reply.body);
    ASSERT_EQ(got.size(), static_cast<Json::ArrayIndex>(kStored));
    EXPECT_EQ(got[0]["time"].asString(), "2025-03-01T00:00:00+01:00");
    EXPECT_EQ(got[kStored - 1]["time"].asString(), "2025-03-03T01:59:00+01:00");
}

TEST_F(WebView, EventStreamDeliversEachRoundOnceAsPublished) {
    Start();
    HttpStream events(port, "/api/events");
    std::map<std::uint32_t, std::vector<Json::Value>> seen;
    while (seen[1001].size() < 5 || seen[1002].size() < 5) {
        const std::string data = events.NextEvent("round", 20s);
        ASSERT_FALSE(data.empty()) << "the stream stopped";
        const Json::Value device = Parse(data);
        seen[device["data_id"].asUInt()].push_back(device["record"]);
    }
    for (auto& [id, records] : seen) {
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::uint64_t round = records[i]["round"].asUInt64();
            if (i > 0) {
                EXPECT_EQ(round, records[i - 1]["round"].asUInt64() + 1) << id;
            }
            EXPECT_EQ(records[i], Published(id, round)) << id;
        }
    }
}

// Each episode is one raise and one clear on the event stream, as the runner
// printed them; /api/alarms shows the alarm active while it is, then only as
// recent news.
TEST_F(WebView, AlarmsArePushedOnceAndListedActiveThenRecent) {
    SimulatedLine line({EpisodeModule()});
    dir.Write("site.json", EpisodeSite(line.path()));
    std::vector<std::string> args = RunnerArgs(
        dir.File("site.json"), "150", {{"--json", "--http", "127.0.0.1:0", "--time-limit", "60"}});
    for (const std::string& a : EpisodeArgs()) args.push_back(a);
    run = std::make_unique<RunnerProcess>(args, line.test_side_fds());
    const std::string note = "battery32-run: web view at http://127.0.0.1:";
    const auto listening = run->WaitForLine(
        [&](const std::string& l) { return l.compare(0, note.size(), note) == 0; }, kGenerous);
    ASSERT_TRUE(listening) << run->Transcript();
    port = std::atoi(listening->c_str() + note.size());
    HttpStream events(port, "/api/events");
    ASSERT_EQ(events.Status(20s), 200);
    line.Start();  // the episodes begin once the stream is open

    std::vector<std::string> pushed;
    while (pushed.size() < EpisodeAlarms().size()) {
        const std::string data = events.NextEvent("alarm", 20s);
        ASSERT_FALSE(data.empty()) << "the stream stopped after " << pushed.size() << " alarms";
        pushed.push_back(data);
        if (pushed.size() != 1) continue;
        const Json::Value during = Parse(HttpGet(port, "/api/alarms").body);
        ASSERT_EQ(during["active"].size(), 1u) << during.toStyledString();
        EXPECT_EQ(during["active"][0], Parse(data));
    }
    EXPECT_EQ(AlarmLines(pushed), EpisodeAlarms());
    const Json::Value after = Parse(HttpGet(port, "/api/alarms").body);
    EXPECT_EQ(after["active"].size(), 0u) << after.toStyledString();
    ASSERT_EQ(after["recent"].size(), pushed.size()) << after.toStyledString();
    for (Json::ArrayIndex i = 0; i < pushed.size(); ++i)
        EXPECT_EQ(after["recent"][i], Parse(pushed[i]));
    EXPECT_EQ(run->Wait(kGenerous), 0) << run->Transcript();
    std::vector<std::string> printed;
    for (const std::string& l : run->out())
        if (l.rfind("{\"alarm\":", 0) == 0) printed.push_back(l);
    EXPECT_EQ(pushed, printed);
    run.reset();
}

TEST_F(WebView, RefusesAnythingButSmallReadsOfItsOwnPaths) {
    Start({"--http-host", "view.example"});
    const std::string long_path = "/" + std::string(5000, 'a');
    std::string many_parameters = "p0=0";
    for (int i = 1; i < 150; ++i) many_parameters += "&p" + std::to_string(i) + "=" + "0";
    const std::string at = ":" + std::to_string(port) + "\r\n\r\n";
    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"unknown path", "GET /etc/passwd HTTP/1.0\r\n\r\n", 404},
        {"path outside the API", "GET /api/../data/device-1001.history HTTP/1.0\r\n\r\n", 404},
        {"unknown device", "GET /api/history?device=7 HTTP/1.0\r\n\r\n", 404},
        {"bad time", "GET /api/history?device=1001&from=yesterday HTTP/1.0\r\n\r\n", 400},
        {"second 61", "GET /api/history?device=1001&to=2026-12-08%2012:00:61 HTTP/1.0\r\n\r\n",
         400},
        {"30 February", "GET /api/history?device=1001&from=2026-02-30%2000:00:00 HTTP/1.0\r\n\r\n",
         400},
        {"bad step", "GET /api/history?device=1001&step=0 HTTP/1.0\r\n\r\n", 400},
        {"a change", "POST /api/devices HTTP/1.0\r\nContent-Length: 2\r\n\r\n{}", 405},
        {"a deletion", "DELETE / HTTP/1.0\r\n\r\n", 405},
        {"a body on GET", "GET / HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", 413},
        {"a long URL", "GET " + long_path + " HTTP/1.0\r\n\r\n", 414},
        // Short, yet more than the server's memory for a request can file: answered, not dropped.
        {"150 parameters", "GET /api/devices?" + many_parameters + " HTTP/1.0\r\n\r\n", 414},
        {"large headers", "GET / HTTP/1.0\r\nX-Pad: " + std::string(9000, 'x') + "\r\n\r\n", 431},
        // A page elsewhere that reaches this server through a name of its own (DNS rebinding).
        {"a foreign Host", "GET /api/devices HTTP/1.1\r\nHost: evil.example" + at, 421},
        {"its address as Host", "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1" + at, 200},
        {"localhost as Host", "GET /api/devices HTTP/1.0\r\nHost: LocalHost" + at, 200},
        {"a name given as Host", "GET /api/devices HTTP/1.0\r\nHost: VIEW.example" + at, 200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HttpExchange(port, c.request, 20s).status, c.status) << c.what;
        Drain();
    }
    // The number of connections is bounded, and so is each client address's share.
    std::vector<std::unique_ptr<HttpStream>> held;
    for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
        for (int i = 0; i < 32; ++i) {
            held.push_back(std::make_unique<HttpStream>(port, "/api/events", from));
            ASSERT_EQ(held.back()->Status(20s), 200) << from << " " << i;
            Drain();
        }
        HttpStream one_more(port, "/api/events", from);
        EXPECT_EQ(one_more.Status(2s), 0) << from;
    }
    EXPECT_EQ(HttpStream(port, "/api/events", "127.0.0.3").Status(2s), 0);
    Drain();
    held.erase(held.begin());
    // Still serving, and still polling, once a slot is free again.
    const HttpReply after = HttpGet(port, "/api/devices");
    EXPECT_EQ(after.status, 200);
    const std::uint64_t round = Parse(after.body)["devices"][0]["record"]["round"].asUInt64();
    Published(1001, round + 2);
}

// Clients that trickle their headers hold no connection for long, nor more
// than their address's share: another client is answered meanwhile, and they
// are closed once their time for a whole request is up.
TEST_F(WebView, StalledRequestsCannotStarveOtherClients) {
    Start();
    std::vector<int> stalled;
    for (int i = 0; i < 70; ++i) {
        stalled.push_back(SendAndStall(port, "GET /api/devices HTTP/1.1\r\nX-Slow: ", "127.0.0.2"));
        ASSERT_GE(stalled.back(), 0) << i;
    }
    EXPECT_EQ(HttpExchange(port, "GET /api/devices HTTP/1.0\r\n\r\n", 5s).status, 200);
    for (const int fd : stalled) {
        EXPECT_TRUE(ClosedByServer(fd, 30s));
        ::close(fd);
    }
    run->Signal(SIGTERM);
    EXPECT_EQ(run->Wait(kGenerous), 0) << run->Transcript();
    EXPECT_TRUE(Contains(run->Transcript(),
                         ", 32 connections closed for not sending a whole request in time"))
        << run->Transcript();
    run.reset();
}

TEST_F(WebView, TokenIsNeededForEveryRequest) {
    dir.Write("token", "s3cret-Token\n");
    Start({"--http-token", dir.File("token")});
    const struct {
        const char* what;
        std::string target;
        std::string headers;
        int status;
    } cases[] = {
        {"page without", "/", "", 401},
        {"script without", "/view.js", "", 401},
        {"API without", "/api/devices", "", 401},
        {"wrong bearer", "/api/devices", "Authorization: Bearer s3cret-Tokem\r\n", 401},
        {"longer bearer", "/api/devices", "Authorization: Bearer s3cret-Token2\r\n", 401},
        {"wrong query", "/api/devices?token=s3cret", "", 401},
        {"bearer", "/api/devices", "Authorization: Bearer s3cret-Token\r\n", 200},
        {"query", "/api/devices?token=s3cret-Token", "", 200},
        {"lower-case scheme", "/api/devices", "Authorization: bearer  s3cret-Token\r\n", 200},
        {"query and more", "/api/devices?token=s3cret-Token%00junk", "", 401},
        // The token decides: a page elsewhere cannot know it.
        {"foreign Host", "/api/devices?token=s3cret-Token", "Host: evil.example\r\n", 200},
        {"metrics without", "/metrics", "", 401},
        {"metrics, wrong bearer", "/metrics", "Authorization: Bearer s3cret-Tokem\r\n", 401},
        {"metrics, bearer", "/metrics", "Authorization: Bearer s3cret-Token\r\n", 200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HttpGet(port, c.target, c.headers).status, c.status) << c.what;
    }
    HttpStream events(port, "/api/events?token=s3cret-Token");
    EXPECT_FALSE(events.NextEvent("round", 20s).empty());
    // The page it serves links its script and style with the token.
    const HttpReply page = HttpGet(port, "/?token=s3cret-Token");
    EXPECT_NE(page.body.find("view.js?token=s3cret-Token"), std::string::npos) << page.body;
    EXPECT_EQ(LinesStartingWith(run->err(), "battery32-run: --http-token " + dir.File("token") +
                                                " can be read by other users (chmod 600 it)")
                  .size(),
              1u)
        << run->Transcript();
}

// "name{labels}" -> value of every sample of a scrape.
std::map<std::string, std::string> Samples(const std::string& text) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.rfind(' ');
        samples[line.substr(0, space)] = line.substr(space + 1);
    }
    return samples;
}

// Runs `command` through the shell; its exit status, with what it printed.
int Shell(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output->append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr const char* kPromtool = "/usr/bin/promtool";
constexpr const char* kPrometheus = "/usr/bin/prometheus";

// A scrape passes promtool's checks and shows what the rounds show: each
// reading of the record of the round it counts, the energy counters in base
// units, labels escaped whatever the site file names the devices.
TEST_F(WebView, MetricsPassPromtoolAndShowWhatTheRoundsShow) {
    if (::access(kPromtool, X_OK) != 0) GTEST_SKIP() << "no " << kPromtool;
    dir.Write("site.json", R"({"devices": [
        {"data_id": 1001, "address": 1, "port": "/dev/ttyA", "name": "quoted \"A\" \\ back"},
        {"data_id": 1002, "address": 2, "port": "/dev/ttyA", "name": "two\nlines",
         "charging_current": "negative"}]})");
    Start({dir.File("site.json")});
    for (std::uint32_t id : kExampleDevices) Published(id, 3);
    const HttpReply reply = HttpGet(port, "/metrics");
    ASSERT_EQ(reply.status, 200) << reply.head;
    EXPECT_NE(reply.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos)
        << reply.head;
    dir.Write("scrape.txt", reply.body);
    std::string said;
    EXPECT_EQ(Shell(std::string(kPromtool) + " check metrics < " + dir.File("scrape.txt"), &said),
              0)
        << said << reply.body;
    EXPECT_EQ(said, "") << reply.body;

    const auto samples = Samples(reply.body);
    const auto value = [&](const std::string& key) {
        const auto it = samples.find(key);
        EXPECT_NE(it, samples.end()) << key << "\n" << reply.body;
        return it == samples.end() ? std::nan("") : std::stod(it->second);
    };
    for (std::uint32_t id : kExampleDevices) {
        SCOPED_TRACE(id);
        const std::string device = "data_id=\"" + std::to_string(id) + "\"";
        const auto rounds =
            static_cast<std::uint64_t>(value("battery32_rounds_total{" + device + "}"));
        const Json::Value record = Published(id, rounds);
        for (int cell = 0; cell < 32; ++cell) {
            const double v = record["cell_voltage"][cell].asDouble();
            const std::string key = "battery32_cell_voltage_volts{" + device + ",cell=\"" +
                                    std::to_string(cell) + "\"}";
            if (v > 0) {
                EXPECT_EQ(value(key), v) << key;
            } else {
                EXPECT_EQ(samples.count(key), 0u) << "a cell without reading: " << key;
            }
        }
        EXPECT_EQ(value("battery32_group_voltage_volts{" + device + "}"),
                  record["group_voltage"].asDouble());
        EXPECT_EQ(value("battery32_current_amperes{" + device + "}"),
                  record["group_current"].asDouble());
        EXPECT_EQ(value("battery32_temperature_celsius{" + device + "}"),
                  record["temperature"].asDouble());
        const Json::Value& energy = record["energy"];
        const char* way = id == 1001 ? "charged" : "discharged";
        EXPECT_GT(value(std::string("battery32_") + way + "_joules_total{" + device + "}"), 0);
        for (const char* w : {"charged", "discharged"}) {
            EXPECT_DOUBLE_EQ(
                value(std::string("battery32_") + w + "_coulombs_total{" + device + "}"),
                energy[std::string(w) + "_ah"].asDouble() * 3600);
            EXPECT_DOUBLE_EQ(value(std::string("battery32_") + w + "_joules_total{" + device + "}"),
                             energy[std::string(w) + "_kwh"].asDouble() * 3.6e6);
        }
        for (const char* level : {"1", "2", "3"}) {
            value("battery32_active_alarms{" + device + ",level=\"" + level + "\"}");
        }
        EXPECT_EQ(value("battery32_silent{" + device + "}"), 0);
    }
    // The simulated line stands in for the site's port.
    const std::string line =
        Parse(HttpGet(port, "/api/devices").body)["devices"][0]["port"].asString();
    EXPECT_EQ(samples.count("battery32_device_info{data_id=\"1001\",name=\"quoted \\\"A\\\" \\\\ "
                            "back\",port=\"" +
                            line + "\"}"),
              1u)
        << reply.body;
    EXPECT_EQ(samples.count("battery32_device_info{data_id=\"1002\",name=\"two\\nlines\","
                            "port=\"" +
                            line + "\"}"),
              1u)
        << reply.body;
    // The line's measured pace: a turn every 150 ms tick, two devices' rounds in each.
    const double cycle = value("battery32_port_cycle_seconds{port=\"" + line + "\"}");
    EXPECT_NEAR(cycle, 0.15, 0.05);
    EXPECT_NEAR(value("battery32_port_rounds_per_second{port=\"" + line + "\"}"), 2 / cycle,
                0.5 / cycle);
}

// A real Prometheus server, started here on a free loopback port with the
// runner as its target and the web view's token as its credentials.
class TestPrometheus {
public:
    TestPrometheus(const TempDir& dir, int target, const std::string& token_file)
        : dir_(dir), port_(FreePort()) {
        dir.Write("prometheus.yml",
                  "global:\n  scrape_interval: 1s\n"
                  "scrape_configs:\n  - job_name: battery32\n"
                  "    authorization:\n      credentials_file: " +
                      token_file +
                      "\n    static_configs:\n"
                      "      - targets: ['127.0.0.1:" +
                      std::to_string(target) + "']\n");
    }
    ~TestPrometheus() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    bool Start() {
        const std::string config = "--config.file=" + dir_.File("prometheus.yml");
        const std::string storage = "--storage.tsdb.path=" + dir_.File("tsdb");
        const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port_);
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string log = dir_.File("prometheus.log");
            std::freopen(log.c_str(), "w", stdout);
            std::freopen(log.c_str(), "w", stderr);
            ::execl(kPrometheus, kPrometheus, config.c_str(), storage.c_str(), listen.c_str(),
                    "--log.level=warn", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (auto end = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < end;) {
            if (Accepts(port_) && HttpGet(port_, "/-/ready").status == 200) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    // The result of a PromQL query, evaluated at `time` (epoch seconds) when given.
    Json::Value Query(const std::string& promql, const std::string& time = "") {
        std::string encoded;
        for (const unsigned char c : promql) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += std::isalnum(c) || c == '_' ? std::string(1, static_cast<char>(c)) : hex;
        }
        const HttpReply reply = HttpGet(
            port_, "/api/v1/query?query=" + encoded + (time.empty() ? "" : "&time=" + time));
        return Parse(reply.body)["data"]["result"];
    }
    std::string Log() const {
        std::ifstream in(dir_.File("prometheus.log"));
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    const TempDir& dir_;
    int port_;
    pid_t pid_ = -1;
};

// Prometheus scrapes the runner with its token: its query API gives a cell
// voltage equal to the --json record of the round it counted at the same
// moment, and counters that grow from one scrape to the next.
TEST_F(WebView, PrometheusScrapesTheRunnerWithItsToken) {
    if (::access(kPrometheus, X_OK) != 0) GTEST_SKIP() << "no " << kPrometheus;
    dir.Write("token", "s3cret-Token\n");
    Start({"--http-token", dir.File("token")});
    TestPrometheus prometheus(dir, port, dir.File("token"));
    ASSERT_TRUE(prometheus.Start()) << prometheus.Log();
    Json::Value history;
    for (auto end = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < end;) {
        Drain();
        history = prometheus.Query("battery32_rounds_total{data_id=\"1001\"}[1m]");
        if (history.size() == 1 && history[0]["values"].size() >= 2) break;
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_EQ(history.size(), 1u) << history.toStyledString() << prometheus.Log();
    const Json::Value& values = history[0]["values"];
    ASSERT_GE(values.size(), 2u) << history.toStyledString();
    const Json::Value& last = values[values.size() - 1];
    EXPECT_GT(std::stod(last[1].asString()), std::stod(values[0][1].asString()));
    // One scrape: the rounds it counted and a cell voltage, both at its moment.
    const std::string at = last[0].asString();
    const auto rounds = std::stoull(last[1].asString());
    const Json::Value cell =
        prometheus.Query("battery32_cell_voltage_volts{data_id=\"1001\",cell=\"3\"}", at);
    ASSERT_EQ(cell.size(), 1u) << cell.toStyledString();
    EXPECT_EQ(std::stod(cell[0]["value"][1].asString()),
              Published(1001, rounds)["cell_voltage"][3].asDouble());
    const Json::Value energy =
        prometheus.Query("increase(battery32_charged_joules_total{data_id=\"1001\"}[1m])");
    ASSERT_EQ(energy.size(), 1u) << energy.toStyledString();
    EXPECT_GT(std::stod(energy[0]["value"][1].asString()), 0);
}

TEST(WebViewSetup, ProblemsAreNamedOnOneLine) {
    TempDir dir;
    dir.Write("empty-token", "\n");
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--http", "localhost:80"}, 2, "--http needs [ADDR:]PORT"},
        {{"--http", "65536"}, 2, "--http needs [ADDR:]PORT"},
        {{"--http-token", dir.File("empty-token")}, 2, "--http-token goes with --http"},
        {{"--http", "0", "--http-token", dir.File("empty-token")}, 1, "must hold one token"},
        {{"--http", "0", "--http-token", dir.File("missing")}, 1, "cannot read"},
        {{"--http", "0", "--http-token", dir.path()}, 1, "not a regular file (a directory)"},
        {{"--http-host", "view.example"}, 2, "--http-host goes with --http"},
        {{"--http", "0", "--http-host", "evil.example/"}, 2, "--http-host needs a host name"},
        // Runs, and says once what it means.
        {{"--http", "0.0.0.0:0", "--rounds", "1"},
         0,
         "listening beyond this machine without --http-token"},
        {{"--http", "0", "--http-token", "/dev/zero"}, 1, "not a regular file (a character"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {
            "--simulate",     "--plugin",       BATTERY32_PLUGIN_PATH, "--data",
            dir.File("data"), "--quiet-device", "--time-limit",        "20"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunnerProcess run(args);
        EXPECT_EQ(run.Wait(kGenerous), c.status) << run.Transcript();
        const auto problems = LinesStartingWith(run.err(), "battery32-run: ");
        ASSERT_EQ(problems.size(), 1u) << run.Transcript();
        EXPECT_TRUE(Contains(problems[0], c.says)) << problems[0];
    }
}

}  // namespace
}  // namespace tools_test
