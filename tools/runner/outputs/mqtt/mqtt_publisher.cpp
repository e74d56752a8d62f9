#include "tools/runner/outputs/mqtt/mqtt_publisher.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/common/time_text.h"
#include "tools/runner/outputs/mqtt/mqtt_messages.h"

namespace runner::outputs {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kKeepAliveSeconds = 30;
constexpr std::size_t kWindow = 20;  // rounds sent and not yet acknowledged
constexpr auto kFirstRetry = milliseconds(500);
constexpr auto kLongestRetry = seconds(30);
constexpr auto kConnectTimeout = seconds(10);
constexpr auto kServiceEvery = seconds(1);  // keep-alive housekeeping
constexpr auto kFinishGrace = seconds(3);   // for the queue to drain at the end

std::string MosquittoError(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

bool IsNumericAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

MqttPublisher::MqttPublisher(MqttSettings settings, const console::Console& console)
    : settings_(std::move(settings)),
      console_(console),
      where_(settings_.host + ":" + std::to_string(settings_.port)),
      client_id_("battery32-run:" + settings_.prefix),
      availability_topic_(AvailabilityTopic(settings_.prefix)),
      queue_(settings_.queue_per_device),
      backoff_(kFirstRetry),
      jitter_(static_cast<unsigned>(::getpid())) {
    mosquitto_lib_init();
}

MqttPublisher::~MqttPublisher() {
    EndLookup();
    Teardown();
    mosquitto_lib_cleanup();
}

void MqttPublisher::Start(const DeviceList& devices) {
    devices_ = &devices;
    queue_.set_capacity(settings_.queue_per_device * std::max<std::size_t>(1, devices.size()));
}

void MqttPublisher::OnRound(const CompletedRound& round) {
    if (round.record == nullptr) return;  // only 32-cell records have a message format
    const bool kept_all = queue_.Push({round.device.data_id, round.device.rounds,
                                       line::LinkStateName(round.device.state), *round.record});
    if (!kept_all && !reported_overflow_) {
        reported_overflow_ = true;
        console_.Problem("mqtt: queue full (" + std::to_string(queue_.capacity()) +
                         " rounds): dropping the oldest until the broker takes them");
    }
    if (phase_ == Phase::kConnected) Pump(Clock::now());
}

void MqttPublisher::AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) {
    const auto now = Clock::now();
    switch (phase_) {
        case Phase::kWaiting:
            wake = std::min(wake, next_attempt_);
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

void MqttPublisher::HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) {
    switch (phase_) {
        case Phase::kWaiting:
            if (now >= next_attempt_) StartAttempt(now);
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

void MqttPublisher::StartAttempt(Clock::time_point now) {
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

void MqttPublisher::CheckLookup(Clock::time_point now) {
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
void MqttPublisher::EndLookup() {
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

void MqttPublisher::Connect(const std::string& address, Clock::time_point now) {
    mosq_ = mosquitto_new(client_id_.c_str(), true, this);
    if (mosq_ == nullptr) {
        return Fail("cannot make a client: " + std::string(std::strerror(errno)), now);
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned>(kWindow));
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnack);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublished);
    if (!settings_.username.empty()) {
        mosquitto_username_pw_set(
            mosq_, settings_.username.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    static const char kOffline[] = "offline";
    mosquitto_will_set(mosq_, availability_topic_.c_str(), sizeof kOffline - 1, kOffline, 1, true);
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

void MqttPublisher::Service(short revents, Clock::time_point now) {
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
        return Fail(rc == MOSQ_ERR_CONN_LOST ? "connection lost" : MosquittoError(rc), now);
    }
    if (phase_ == Phase::kConnected) Pump(now);
}

void MqttPublisher::Pump(Clock::time_point now) {
    while (const QueuedRound* next = queue_.NextToSend(kWindow)) {
        int mid = 0;
        const int rc = Publish(StateTopic(settings_.prefix, next->data_id),
                               StatePayload(next->record, next->round, next->state), &mid);
        if (rc != MOSQ_ERR_SUCCESS) return Fail("publishing: " + MosquittoError(rc), now);
        queue_.MarkSent(mid, now);
    }
}

void MqttPublisher::OnConnack(mosquitto*, void* self, int rc) {
    auto& p = *static_cast<MqttPublisher*>(self);
    if (rc != 0) {
        p.failure_ =
            std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    p.phase_ = Phase::kConnected;
    p.backoff_ = kFirstRetry;
    p.Announce();
    std::string line = "mqtt: connected to " + p.where_ + " as " + p.client_id_ +
                       ", publishing under " + p.settings_.prefix + "/";
    const std::size_t queued = p.queue_.size();
    if (queued > 0) line += "; sending " + std::to_string(queued) + " queued rounds";
    const std::uint64_t dropped = p.queue_.dropped() - p.dropped_at_last_report_;
    if (dropped > 0)
        line += "; " + std::to_string(dropped) + " oldest rounds were dropped (queue full)";
    p.dropped_at_last_report_ = p.queue_.dropped();
    p.reported_down_ = false;
    p.reported_overflow_ = false;
    p.connected_once_ = true;
    p.console_.Note(line);
}

void MqttPublisher::OnPublished(mosquitto*, void* self, int mid) {
    auto& p = *static_cast<MqttPublisher*>(self);
    if (mid == p.offline_mid_) p.offline_acked_ = true;
    p.queue_.Acknowledge(mid, Clock::now());
}

// Every message is retained and sent at QoS 1.
int MqttPublisher::Publish(const std::string& topic, const std::string& payload, int* mid) {
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, true);
}

void MqttPublisher::Announce() {
    Publish(availability_topic_, "online", nullptr);
    if (!settings_.discovery) return;
    if (devices_ == nullptr) return;
    for (const DeviceStatus* device : *devices_) {
        for (const MqttMessage& m :
             DiscoveryMessages(settings_.discovery_prefix, settings_.prefix, *device)) {
            Publish(m.topic, m.payload, nullptr);
        }
    }
}

void MqttPublisher::Fail(const std::string& why, Clock::time_point now) {
    Teardown();
    // Spread retries so that a fleet does not return to a restarted broker all at once.
    std::uniform_real_distribution<double> spread(0.75, 1.25);
    next_attempt_ = now + std::chrono::duration_cast<Clock::duration>(backoff_ * spread(jitter_));
    backoff_ = std::min<Clock::duration>(backoff_ * 2, kLongestRetry);
    if (reported_down_) return;
    reported_down_ = true;
    const std::string hold = "rounds queue (up to " + std::to_string(queue_.capacity()) + ")";
    console_.Problem(connected_once_ ? "mqtt: lost the broker at " + where_ + " (" + why + "); " +
                                           hold + " and it reconnects"
                                     : "mqtt: cannot reach the broker at " + where_ + " (" + why +
                                           "); polling goes on, " + hold + " and it keeps trying");
}

void MqttPublisher::Teardown() {
    failure_.clear();
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    queue_.Rewind();
    phase_ = Phase::kWaiting;
}

void MqttPublisher::Finish() {
    const auto deadline = Clock::now() + kFinishGrace;
    std::vector<pollfd> fds;
    // Not connected: no new attempts now. Connected: the queue drains, then
    // "offline" goes out and its acknowledgement ends the wait.
    for (auto now = Clock::now(); now < deadline && phase_ != Phase::kWaiting && !offline_acked_;
         now = Clock::now()) {
        if (phase_ == Phase::kConnected && queue_.size() == 0 && offline_mid_ < 0) {
            Publish(availability_topic_, "offline", &offline_mid_);
        }
        fds.clear();
        auto wake = std::min(deadline, now + milliseconds(50));
        AddWaits(fds, wake);
        const auto wait = std::chrono::duration_cast<milliseconds>(wake - now).count();
        ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)));
        HandleWaits(fds.data(), fds.size(), Clock::now());
    }
    if (phase_ == Phase::kConnected) {
        // The queue did not drain in time: still leave no stale "online".
        if (offline_mid_ < 0) Publish(availability_topic_, "offline", nullptr);
        mosquitto_disconnect(mosq_);
        mosquitto_loop_write(mosq_, 1);
    }
    EndLookup();
    const std::uint64_t undelivered = queue_.size();
    Teardown();
    std::string line =
        "mqtt: " + std::to_string(queue_.acknowledged()) + " rounds acknowledged by the broker";
    if (queue_.acknowledged() > 0) {
        line += " (round trip " +
                time_text::Milliseconds(queue_.round_trip_total() / queue_.acknowledged()) +
                " ms on average, " + time_text::Milliseconds(queue_.round_trip_max()) +
                " ms at most)";
    }
    line += ", " + std::to_string(queue_.resent()) + " sent again after a reconnect, " +
            std::to_string(queue_.dropped()) + " dropped (queue full), " +
            std::to_string(undelivered) + " undelivered at exit";
    if (undelivered > 0 || queue_.dropped() > 0) {
        console_.Problem(line);
    } else {
        console_.Note(line);
    }
}

}  // namespace runner::outputs
