#include "tools/runner/outputs/mqtt/mqtt_connection.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/time_text.h"
#include "tools/runner/outputs/mqtt/mqtt_messages.h"

namespace runner::outputs {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kInflight = 20;  // messages sent and not yet acknowledged
constexpr auto kFirstRetry = milliseconds(500);
constexpr auto kLongestRetry = seconds(30);
constexpr auto kConnectTimeout = seconds(10);
constexpr auto kServiceEvery = seconds(1);  // keep-alive housekeeping
// A connection that held this long was a good one: the back-off starts over.
constexpr auto kSettled = seconds(10);

std::string MosquittoError(int rc) { return MqttFailureReason(rc, false, errno); }

// What the socket says went wrong with it (a connect refused, no route), or 0.
int SocketError(mosquitto* mosq) {
    const int fd = mosq == nullptr ? -1 : mosquitto_socket(mosq);
    int error = 0;
    socklen_t size = sizeof error;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return 0;
    return error;
}

std::string HostAndPort(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool IsNumericAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

MqttConnection::MqttConnection(const MqttSettings& settings, Events& events)
    : settings_(settings),
      events_(events),
      where_(HostAndPort(settings.host, settings.port)),
      client_id_("battery32-run:" + settings.prefix),
      will_topic_(AvailabilityTopic(settings.prefix)),
      backoff_(kFirstRetry),
      jitter_(static_cast<unsigned>(::getpid())) {
    mosquitto_lib_init();
}

MqttConnection::~MqttConnection() {
    EndLookup();
    Teardown();
    mosquitto_lib_cleanup();
}

void MqttConnection::AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) {
    const auto now = Clock::now();
    switch (phase_) {
        case Phase::kWaiting:
            if (!closed_) wake = std::min(wake, next_attempt_);
            break;
        case Phase::kResolving:
            wake = std::min(wake, now + milliseconds(20));
            break;
        case Phase::kConnecting:
            wake = std::min(wake, connect_deadline_);
            [[fallthrough]];
        case Phase::kConnected: {
            wake = std::min(wake, now + kServiceEvery);
            const int fd = mosquitto_socket(mosq_);
            if (fd < 0) break;
            const short events = POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0);
            fds.push_back(pollfd{fd, events, 0});
            break;
        }
    }
}

void MqttConnection::HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) {
    switch (phase_) {
        case Phase::kWaiting:
            if (!closed_ && now >= next_attempt_) StartAttempt(now);
            break;
        case Phase::kResolving:
            CheckLookup(now);
            break;
        case Phase::kConnecting:
        case Phase::kConnected:
            Service(count > 0 ? fds[0].revents : 0, now);
            if (phase_ == Phase::kConnecting && now >= connect_deadline_) {
                Fail("no answer within " + time_text::Duration(kConnectTimeout), now);
            }
            break;
    }
}

void MqttConnection::StartAttempt(Clock::time_point now) {
    if (IsNumericAddress(settings_.host)) return Connect(settings_.host, now);
    // A name is looked up by glibc's asynchronous resolver (its own helper
    // thread), so a slow DNS server holds up only this attempt.
    lookup_ = std::make_unique<NameLookup>();
    lookup_->name = settings_.host;
    lookup_->hints.ai_socktype = SOCK_STREAM;
    lookup_->request.ar_name = lookup_->name.c_str();
    lookup_->request.ar_request = &lookup_->hints;
    gaicb* list[1] = {&lookup_->request};
    const int rc = ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (rc != 0) {
        lookup_.reset();
        Fail(std::string("name lookup: ") + ::gai_strerror(rc), now);
        return;
    }
    phase_ = Phase::kResolving;
    connect_deadline_ = now + kConnectTimeout;
}

void MqttConnection::CheckLookup(Clock::time_point now) {
    const int rc = ::gai_error(&lookup_->request);
    if (rc == EAI_INPROGRESS) {
        if (now >= connect_deadline_) {
            EndLookup();
            Fail("name lookup of " + settings_.host + " took too long", now);
        }
        return;
    }
    std::string address;
    if (rc == 0 && lookup_->request.ar_result != nullptr) {
        char text[NI_MAXHOST];
        const addrinfo* first = lookup_->request.ar_result;
        if (::getnameinfo(first->ai_addr, first->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) == 0) {
            address = text;
        }
    }
    EndLookup();
    if (address.empty()) {
        return Fail("name lookup of " + settings_.host + ": " + ::gai_strerror(rc), now);
    }
    // TLS checks the certificate against the name: libmosquitto gets the name
    // (and looks it up once more, now fresh); plain connections get the address.
    Connect(settings_.tls ? settings_.host : address, now);
}

// Frees the lookup's answer, cancelling it first if it is still running.
void MqttConnection::EndLookup() {
    if (!lookup_) return;
    if (::gai_cancel(&lookup_->request) == EAI_NOTCANCELED) {
        const gaicb* list[1] = {&lookup_->request};
        const timespec limit{1, 0};
        ::gai_suspend(list, 1, &limit);
        if (::gai_error(&lookup_->request) == EAI_INPROGRESS) {
            (void)lookup_.release();  // still in the resolver's hands: must outlive it
            return;
        }
    }
    if (::gai_error(&lookup_->request) == 0 && lookup_->request.ar_result != nullptr) {
        ::freeaddrinfo(lookup_->request.ar_result);
    }
    lookup_.reset();
}

void MqttConnection::Connect(const std::string& address, Clock::time_point now) {
    mosq_ = mosquitto_new(client_id_.c_str(), true, this);
    if (mosq_ == nullptr) {
        return Fail("cannot make a client: " + std::string(std::strerror(errno)), now);
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, kInflight);
    mosquitto_connect_callback_set(mosq_, &MqttConnection::OnConnack);
    mosquitto_publish_callback_set(mosq_, &MqttConnection::OnPublished);
    if (!settings_.username.empty()) {
        mosquitto_username_pw_set(
            mosq_, settings_.username.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    static const char kOffline[] = "offline";
    mosquitto_will_set(mosq_, will_topic_.c_str(), sizeof kOffline - 1, kOffline, 1, true);
    int rc = !settings_.tls             ? MOSQ_ERR_SUCCESS
             : settings_.cafile.empty() ? mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                        : mosquitto_tls_set(mosq_, settings_.cafile.c_str(),
                                                            nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return Fail("TLS set-up: " + MosquittoError(rc), now);
    rc = mosquitto_connect_async(mosq_, address.c_str(), settings_.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) return Fail(MosquittoError(rc), now);
    phase_ = Phase::kConnecting;
    connect_deadline_ = now + kConnectTimeout;
}

void MqttConnection::Service(short revents, Clock::time_point now) {
    // A connect that failed: the socket says why (no route, refused) until
    // it is read, after which libmosquitto only calls it a protocol error.
    if (revents & (POLLERR | POLLHUP)) {
        if (const int error = SocketError(mosq_); error != 0) {
            return Fail(std::strerror(error), now);
        }
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) rc = mosquitto_loop_read(mosq_, 64);
    // Writes wait for the socket to take them (a connect in progress, a full buffer).
    if (rc == MOSQ_ERR_SUCCESS && failure_.empty() && (revents & POLLOUT) &&
        mosquitto_want_write(mosq_)) {
        rc = mosquitto_loop_write(mosq_, 64);
    }
    if (rc == MOSQ_ERR_SUCCESS && failure_.empty()) rc = mosquitto_loop_misc(mosq_);
    if (!failure_.empty()) return Fail(std::string(failure_), now);  // a copy: Fail clears it
    if (rc != MOSQ_ERR_SUCCESS) {
        return Fail(MqttFailureReason(rc, phase_ == Phase::kConnecting, errno), now);
    }
    if (phase_ != Phase::kConnected) return;
    if (!settled_ && now - connected_at_ >= kSettled) {
        settled_ = true;
        brief_in_a_row_ = 0;
        events_.Settled();
    }
    events_.Served();
}

void MqttConnection::OnConnack(mosquitto*, void* self, int rc) {
    auto& c = *static_cast<MqttConnection*>(self);
    if (rc != 0) {
        c.failure_ =
            std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    c.phase_ = Phase::kConnected;
    c.connected_at_ = Clock::now();
    c.settled_ = false;
    c.events_.Connected();
}

void MqttConnection::OnPublished(mosquitto*, void* self, int mid) {
    static_cast<MqttConnection*>(self)->events_.Acknowledged(mid);
}

std::string MqttConnection::Publish(const std::string& topic, const std::string& payload, int* mid,
                                    bool retain) {
    const int rc = mosq_ == nullptr ? MOSQ_ERR_NO_CONN
                                    : mosquitto_publish(mosq_, mid, topic.c_str(),
                                                        static_cast<int>(payload.size()),
                                                        payload.data(), 1, retain);
    return rc == MOSQ_ERR_SUCCESS ? "" : MosquittoError(rc);
}

void MqttConnection::Fail(const std::string& why, Clock::time_point now) {
    if (phase_ == Phase::kConnected && settled_) backoff_ = kFirstRetry;
    // Accepted and dropped again at once, time after time: the back-off grows on.
    const bool brief = phase_ == Phase::kConnected && !settled_;
    brief_in_a_row_ = brief ? brief_in_a_row_ + 1 : 0;
    Teardown();
    // Spread retries so that a fleet does not return to a restarted broker all at once.
    std::uniform_real_distribution<double> spread(0.75, 1.25);
    next_attempt_ = now + std::chrono::duration_cast<Clock::duration>(backoff_ * spread(jitter_));
    backoff_ = std::min<Clock::duration>(backoff_ * 2, kLongestRetry);
    events_.Failed(why, brief_in_a_row_);
}

void MqttConnection::Teardown() {
    failure_.clear();
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    phase_ = Phase::kWaiting;
}

void MqttConnection::Close() {
    closed_ = true;
    if (phase_ == Phase::kConnected) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_write(mosq_, 1);
    }
    EndLookup();
    Teardown();
}

std::string MqttFailureReason(int rc, bool connecting, int saved_errno) {
    switch (rc) {
        case MOSQ_ERR_PROTOCOL:
            // Something answered, and not as a broker does.
            if (connecting) return "what answered there is not an MQTT broker";
            break;
        case MOSQ_ERR_ERRNO:
            return std::strerror(saved_errno);
        case MOSQ_ERR_CONN_LOST:
            return "connection lost";
        case MOSQ_ERR_KEEPALIVE:
            return "no answer to the keep-alive ping within " + std::to_string(kKeepAliveSeconds) +
                   " s";
        default:
            break;
    }
    return mosquitto_strerror(rc);
}

}  // namespace runner::outputs
