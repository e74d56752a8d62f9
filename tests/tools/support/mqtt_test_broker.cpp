#include "tests/tools/support/mqtt_test_broker.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace tools_test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

TestBroker::TestBroker(const TempDir& dir, const std::string& access)
    : dir_(dir.path()), config_(dir.File("broker.conf")), port_(FreePort()) {
    std::ostringstream conf;
    conf << "listener " << port_ << " 127.0.0.1\n"
         << "persistence true\n"
         << "persistence_location " << dir_ << "/\n"
         << "persistence_file broker.db\n"
         << "max_queued_messages 100000\n"
         << "log_dest file " << dir_ << "/broker.log\n";
    // As root the broker drops to user "mosquitto", which cannot write here.
    if (::geteuid() == 0) conf << "user root\n";
    conf << access;
    std::ofstream(config_) << conf.str();
}

TestBroker::~TestBroker() { Stop(); }

bool TestBroker::Start() {
    pid_ = ::fork();
    if (pid_ == 0) {
        // Its start-up warnings (such as running as root) stay out of the test's output.
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execl(kBrokerProgram, kBrokerProgram, "-c", config_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
        if (Accepts(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void TestBroker::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string TestBroker::Log() const {
    std::ifstream in(dir_ + "/broker.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TestSubscriber::TestSubscriber(int port, const std::string& client_id, const std::string& topic,
                               const std::string& username, const std::string& password)
    : topic_(topic) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(client_id.c_str(), false, this);
    mosquitto_connect_with_flags_callback_set(mosq_, &TestSubscriber::OnConnect);
    mosquitto_message_callback_set(mosq_, &TestSubscriber::OnMessage);
    if (!username.empty()) mosquitto_username_pw_set(mosq_, username.c_str(), password.c_str());
    if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
        next_try_ = Clock::now() + std::chrono::milliseconds(200);
    }
}

TestSubscriber::~TestSubscriber() {
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

void TestSubscriber::OnConnect(mosquitto* mosq, void* self, int rc, int flags) {
    auto& s = *static_cast<TestSubscriber*>(self);
    if (rc != 0) return;
    s.connected_ = true;
    // A session the broker kept still has its subscription (and its queue).
    if ((flags & 1) == 0) mosquitto_subscribe(mosq, nullptr, s.topic_.c_str(), 1);
}

void TestSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& s = *static_cast<TestSubscriber*>(self);
    s.messages_.push_back(
        {message->topic, std::string(static_cast<const char*>(message->payload),
                                     static_cast<std::size_t>(message->payloadlen))});
}

void TestSubscriber::Service(std::chrono::milliseconds time) {
    const auto end = Clock::now() + time;
    while (Clock::now() < end) {
        const int rc = mosquitto_loop(mosq_, 20, 100);
        if (rc == MOSQ_ERR_SUCCESS) continue;
        connected_ = false;
        if (Clock::now() >= next_try_) {
            next_try_ = Clock::now() + std::chrono::milliseconds(200);
            if (mosquitto_reconnect(mosq_) == MOSQ_ERR_SUCCESS) continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> TestSubscriber::On(const std::string& topic) const {
    std::vector<std::string> payloads;
    for (const auto& m : messages_)
        if (m.topic == topic) payloads.push_back(m.payload);
    return payloads;
}

}  // namespace tools_test
