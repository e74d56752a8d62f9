#pragma once
// A real MQTT broker (Debian's mosquitto) for the publishing tests, on
// 127.0.0.1 and a free port, with its configuration and its persistent store
// in a scratch folder; and a subscriber that loses nothing across a broker
// restart (fixed client id, persistent session, QoS 1). Both are driven from
// the test's own thread: no threads, so forking the runner child stays safe.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/tools/support/test_workspace.h"

struct mosquitto;
struct mosquitto_message;

namespace tools_test {

inline constexpr const char* kBrokerProgram = "/usr/sbin/mosquitto";

class TestBroker {
public:
    // `access`: configuration lines for its listener (log-in, TLS).
    explicit TestBroker(const TempDir& dir, const std::string& access = "allow_anonymous true\n");
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Starts it and waits until it accepts connections; false if it did not.
    bool Start();
    // SIGTERM: the broker saves its sessions and retained messages, then ends.
    void Stop();
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string Log() const;

private:
    std::string dir_;
    std::string config_;
    int port_ = 0;
    pid_t pid_ = -1;
};

struct ReceivedMessage {
    std::string topic;
    std::string payload;
};

class TestSubscriber {
public:
    TestSubscriber(int port, const std::string& client_id, const std::string& topic,
                   const std::string& username = "", const std::string& password = "");
    ~TestSubscriber();
    TestSubscriber(const TestSubscriber&) = delete;
    TestSubscriber& operator=(const TestSubscriber&) = delete;

    // Runs the connection for `time`, reconnecting whenever the broker is back.
    void Service(std::chrono::milliseconds time);
    bool connected() const { return connected_; }
    const std::vector<ReceivedMessage>& messages() const { return messages_; }
    // Payloads received on `topic`, in order of arrival.
    std::vector<std::string> On(const std::string& topic) const;

private:
    static void OnConnect(mosquitto*, void* self, int rc, int flags);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    mosquitto* mosq_ = nullptr;
    std::string topic_;
    bool connected_ = false;
    std::chrono::steady_clock::time_point next_try_{};
    std::vector<ReceivedMessage> messages_;
};

}  // namespace tools_test
