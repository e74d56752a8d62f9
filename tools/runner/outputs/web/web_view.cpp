// The web view on libmicrohttpd, driven from the runner's poll loop: the
// server runs in epoll mode without a thread of its own; its one epoll
// descriptor joins the runner's ppoll, and MHD_run does the work that is due
// without ever blocking.
#include "tools/runner/outputs/web/web_view.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <optional>

#include "tools/alarm_log/active_alarms.h"
#include "tools/common/command_line.h"
#include "tools/common/version.h"
#include "tools/record/record_format.h"
#include "tools/runner/data_folder/data_folder.h"
#include "tools/runner/outputs/web/history_stream.h"
#include "tools/runner/outputs/web/metrics_text.h"
#include "tools/runner/outputs/web/server/event_streams.h"
#include "tools/runner/outputs/web/server/http_reply.h"
#include "tools/runner/outputs/web/server/listen_address.h"
#include "tools/runner/outputs/web/server/request_guard.h"
#include "tools/runner/outputs/web/server/work_slice.h"
#include "tools/runner/outputs/web/web_api.h"
#include "tools/runner/outputs/web/web_assets.h"

namespace runner::outputs {
namespace {

using loop::Clock;

constexpr unsigned kConnectionLimit = 64;
// One client address (a page left open in many tabs, a script gone wrong)
// never takes every connection.
constexpr unsigned kConnectionsPerAddress = 32;
constexpr std::size_t kConnectionMemory = 8 * 1024;  // request line and headers must fit
constexpr unsigned kIdleTimeoutSeconds = 30;
constexpr auto kHeartbeat = std::chrono::seconds(15);
constexpr int kStreamSocketBuffer = 32 * 1024;
constexpr std::size_t kRecentAlarms = 50;
const char* const kChartLibraries[] = {"/usr/share/javascript/chart.js/chart.min.js",
                                       "/usr/share/javascript/chart.js/chart.js"};

std::string FindChartLibrary() {
    for (const char* path : kChartLibraries)
        if (::access(path, R_OK) == 0) return path;
    return "";
}

// A history answer on its way to one client, a slice per pass.
struct HistoryDownload {
    HistoryStream stream;
    MHD_Connection* connection;
    WorkSlice* slice;
};

MHD_Result HistoryAnswer(MHD_Connection* connection, const std::string& path,
                         const HistoryQuery& query, WorkSlice* slice) {
    auto* download = new HistoryDownload{HistoryStream(path, query), connection, slice};
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 16 * 1024,
        [](void* cls, std::uint64_t, char* out, size_t max) -> ssize_t {
            auto& d = *static_cast<HistoryDownload*>(cls);
            if (!d.slice->Take(d.connection, max)) return 0;  // suspended until the next pass
            const std::size_t n = d.stream.Read(out, max);
            return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
        },
        download, [](void* cls) { delete static_cast<HistoryDownload*>(cls); });
    if (response == nullptr) delete download;
    return Answer(connection, MHD_HTTP_OK, response, "application/json");
}

// The range and step of a history request; what is wrong with them, else "".
std::string ReadHistoryQuery(MHD_Connection* connection, HistoryQuery* query) {
    for (auto [name, key] :
         {std::pair{"from", &query->from_key}, std::pair{"to", &query->to_key}}) {
        const char* text = Argument(connection, name);
        if (text == nullptr) continue;
        const auto parsed = ParseQueryTime(text);
        if (!parsed) return "from, to: YYYY-MM-DD hh:mm:ss or epoch seconds";
        *key = *parsed;
    }
    if (const char* step = Argument(connection, "step")) {
        const auto n = command_line::ParseInteger(step, 1, 1000000);
        if (!n) return "step: 1..1000000";
        query->step = static_cast<std::uint64_t>(*n);
    }
    return "";
}

WebViewSettings WithVersion(WebViewSettings settings) {
    settings.heading.version = version::Text();
    return settings;
}

MHD_Result Page(MHD_Connection* connection) {
    // Asset links carry the token when the page was opened with one.
    const char* token = Argument(connection, "token");
    const std::string query = token ? "?token=" + PercentEncoded(token) : std::string();
    std::string page = kIndexHtml;
    for (auto at = page.find("{{query}}"); at != std::string::npos; at = page.find("{{query}}"))
        page.replace(at, 9, query);
    return Text(connection, MHD_HTTP_OK, page, "text/html; charset=utf-8");
}

class MhdView final : public WebView {
public:
    MhdView(const WebViewSettings& settings, const console::Console& console)
        : settings_(WithVersion(settings)),
          console_(console),
          chart_(FindChartLibrary()),
          guard_(settings.token, settings.host_names) {}
    ~MhdView() override;
    std::string Listen();
    void Announce() const;

    void Start(const DeviceList& devices) override { devices_ = &devices; }
    void OnRound(const CompletedRound& round) override;
    void OnStatus(const DeviceStatus& device, line::LinkState before) override;
    void OnAlarm(const AlarmChange& change) override;
    void OnSiteReloaded(const SiteChange& change) override;
    void Finish() override;
    void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) override;

private:
    static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char* version, const char* upload,
                             size_t* upload_size, void** request);
    MHD_Result Handle(MHD_Connection* connection, const std::string& path, bool head);
    MHD_Result Devices(MHD_Connection* connection);
    MHD_Result Alarms(MHD_Connection* connection);
    MHD_Result Metrics(MHD_Connection* connection);
    MHD_Result History(MHD_Connection* connection);
    MHD_Result Events(MHD_Connection* connection, bool head);
    std::string DeviceJsonAt(const DeviceStatus& status) const;

    WebViewSettings settings_;
    const console::Console& console_;
    const DeviceList* devices_ = nullptr;
    std::string chart_;
    std::string url_;
    MHD_Daemon* daemon_ = nullptr;
    int epoll_fd_ = -1;
    Clock::time_point server_due_ = Clock::time_point::max();
    Clock::time_point next_heartbeat_ = Clock::now() + kHeartbeat;
    std::map<std::uint32_t, std::string> latest_;               // record JSON by data id
    std::map<std::uint32_t, Battery32_Data_t> latest_records_;  // for /metrics
    std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
    alarm_log::ActiveAlarms active_;
    std::deque<std::string> recent_;  // the latest alarm changes as JSON, oldest first
    std::uint64_t event_id_ = 0;
    std::uint64_t requests_ = 0;
    bool run_now_ = false;  // a stream was resumed since the last MHD_run
    EventStreams streams_;
    WorkSlice slice_;
    RequestGuard guard_;
    Clock::time_point next_deadline_ = Clock::time_point::max();
    bool beyond_loopback_ = false;
};

std::string MhdView::Listen() {
    std::string why;
    sockaddr_storage address;
    if (!ParseListenAddress(settings_.listen, &address, &why)) return "--http: " + why;
    unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    beyond_loopback_ = !IsLoopback(address);
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &MhdView::Access, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<const sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_CONNECTION_TIMEOUT,
        kIdleTimeoutSeconds, MHD_OPTION_URI_LOG_CALLBACK, &RequestGuard::RequestLine, &guard_,
        MHD_OPTION_NOTIFY_CONNECTION, &RequestGuard::ConnectionChanged, &guard_,
        MHD_OPTION_NOTIFY_COMPLETED, &RequestGuard::AnswerEnded, &guard_, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        const int error = errno;  // before the address text, whose making may change errno
        return "web view: cannot listen on " + ListenAddressText(address) + " (" +
               std::strerror(error) + ")";
    }
    const MHD_DaemonInfo* epoll = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    const MHD_DaemonInfo* listening = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_LISTEN_FD);
    socklen_t size = sizeof address;  // as bound: port 0 has become the one the system chose
    if (epoll == nullptr || listening == nullptr ||
        ::getsockname(listening->listen_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return "web view: the server gave no descriptor";
    }
    epoll_fd_ = epoll->epoll_fd;
    url_ = "http://" + ListenAddressText(address) + "/";
    return "";
}

MhdView::~MhdView() {
    if (daemon_ == nullptr) return;
    // Suspended connections must be resumed before the server stops.
    streams_.EndAll();
    slice_.ResumeAll();
    MHD_run(daemon_);
    MHD_stop_daemon(daemon_);
}

void MhdView::Announce() const {
    console_.Note("web view at " + url_ +
                  (settings_.token_path.empty()
                       ? ""
                       : " (token from " + settings_.token_path + ": add ?token=...)"));
    if (beyond_loopback_ && settings_.token.empty()) {
        console_.Problem(
            "web view: listening beyond this machine without --http-token: anyone "
            "who can reach " +
            url_ + " can read every device");
    }
    if (chart_.empty()) {
        console_.Note("web view: no chart library found (libjs-chart.js); history charts are off");
    }
}

void MhdView::Finish() {
    std::string text = "web view: " + console::Count(requests_, "request", "requests") + ", " +
                       console::Count(streams_.opened(), "event stream", "event streams");
    if (streams_.dropped() != 0) {
        text += " (" + std::to_string(streams_.dropped()) + " dropped for not reading)";
    }
    if (guard_.closed_late() != 0) {
        text += ", " + console::Count(guard_.closed_late(), "connection", "connections") +
                " closed for not sending a whole request in time";
    }
    console_.Note(text);
}

void MhdView::OnRound(const CompletedRound& round) {
    latest_[round.device.data_id] =
        round.record ? RoundJson(*round.record, round.device.rounds, std::nullopt,
                                 round.device.energy, record::TimeForm::kWithOffset)
                     : std::string();
    if (round.record) latest_records_[round.device.data_id] = *round.record;
    if (streams_.open() == 0) return;
    const std::string event = "event: round\nid: " + std::to_string(++event_id_) +
                              "\ndata: " + DeviceJsonAt(round.device) + "\n\n";
    run_now_ = streams_.Publish(event) || run_now_;
}

// A device that goes silent, loses its port or goes stale shows so at once,
// not with its next round, which may never come.
void MhdView::OnStatus(const DeviceStatus& device, line::LinkState) {
    if (streams_.open() == 0) return;
    const std::string event = "event: state\nid: " + std::to_string(++event_id_) +
                              "\ndata: " + DeviceJsonAt(device) + "\n\n";
    run_now_ = streams_.Publish(event) || run_now_;
}

void MhdView::OnAlarm(const AlarmChange& change) {
    active_.Apply(change);
    const std::string json = alarm_log::AlarmJson(change);
    if (change.kind != alarm_log::AlarmKind::kActive) {
        recent_.push_back(json);
        if (recent_.size() > kRecentAlarms) recent_.pop_front();
    }
    if (streams_.open() == 0) return;
    const std::string event =
        "event: alarm\nid: " + std::to_string(++event_id_) + "\ndata: " + json + "\n\n";
    run_now_ = streams_.Publish(event) || run_now_;
}

// A device removed or restarted has no latest record here any more; the
// pages lay their devices out again.
void MhdView::OnSiteReloaded(const SiteChange& change) {
    if (!change.refused.empty()) return;
    settings_.heading.site = change.site_name;
    for (const auto* ids : {&change.removed, &change.restarted}) {
        for (const std::uint32_t id : *ids) {
            latest_.erase(id);
            latest_records_.erase(id);
        }
    }
    if (streams_.open() == 0) return;
    const std::string event = "event: site\nid: " + std::to_string(++event_id_) +
                              "\ndata: " + SiteChangeJson(change) + "\n\n";
    run_now_ = streams_.Publish(event) || run_now_;
}

// The device as the API shows it: status, latest record and history size.
std::string MhdView::DeviceJsonAt(const DeviceStatus& status) const {
    const auto latest = latest_.find(status.data_id);
    struct stat st {};
    const std::string path = data_folder::HistoryPath(settings_.data_dir, status.data_id);
    const auto records = ::stat(path.c_str(), &st) == 0 ? st.st_size / record::kRecordSize : 0;
    return DeviceJson(status, latest == latest_.end() ? std::string() : latest->second,
                      static_cast<std::uint64_t>(records));
}

void MhdView::AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) {
    fds.push_back(pollfd{epoll_fd_, POLLIN, 0});
    const auto now = Clock::now();
    MHD_UNSIGNED_LONG_LONG ms = 0;
    server_due_ = MHD_get_timeout(daemon_, &ms) == MHD_YES
                      ? now + std::chrono::milliseconds(std::min<MHD_UNSIGNED_LONG_LONG>(ms, 60000))
                      : Clock::time_point::max();
    // A resumed stream is only picked up by the next MHD_run.
    if (run_now_) server_due_ = now;
    wake = std::min({wake, server_due_, next_heartbeat_, next_deadline_, slice_.next()});
}

void MhdView::HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) {
    if (now >= next_heartbeat_) {
        // A comment line keeps idle streams open through proxies and lets the
        // timeout find clients that stopped reading.
        if (streams_.open() != 0) run_now_ = streams_.Publish(": keep-alive\n\n") || run_now_;
        next_heartbeat_ = now + kHeartbeat;
    }
    next_deadline_ = guard_.CloseLate(now);
    const bool ready = count > 0 && fds[0].revents != 0;
    const bool resumed = slice_.NewPass(now);
    if (ready || run_now_ || resumed || now >= server_due_) {
        run_now_ = false;
        MHD_run(daemon_);
    }
}

MHD_Result MhdView::Access(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char*, size_t* upload_size,
                           void** request) {
    auto& view = *static_cast<MhdView*>(cls);
    std::optional<RequestGuard::Refusal> refusal;
    if (!view.guard_.Admit(connection, request, url, method, &refusal)) {
        // Only reached for a body that came anyway: discard it, answer was given.
        *upload_size = 0;
        return MHD_YES;
    }
    ++view.requests_;
    if (refusal) return Refuse(connection, refusal->status, refusal->why);
    return view.Handle(connection, url, std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0);
}

MHD_Result MhdView::Handle(MHD_Connection* connection, const std::string& path, bool head) {
    if (path == "/") return Page(connection);
    if (path == "/view.js") return Text(connection, MHD_HTTP_OK, kViewJs, "text/javascript");
    if (path == "/view.css") return Text(connection, MHD_HTTP_OK, kViewCss, "text/css");
    if (path == "/chart.js")
        return FileAnswer(connection, chart_, "text/javascript", "no chart library installed");
    if (path == "/api/devices") return Devices(connection);
    if (path == "/api/alarms") return Alarms(connection);
    if (path == "/api/history") return History(connection);
    if (path == "/api/events") return Events(connection, head);
    if (path == "/metrics") return Metrics(connection);
    return Refuse(connection, MHD_HTTP_NOT_FOUND, "no such page");
}

MHD_Result MhdView::Devices(MHD_Connection* connection) {
    std::string body = "{" + HeadingJson(settings_.heading) + "\"devices\":[";
    if (devices_ != nullptr) {
        for (const DeviceStatus* s : *devices_)
            body += (body.back() == '[' ? "\n" : ",\n") + DeviceJsonAt(*s);
    }
    return Text(connection, MHD_HTTP_OK, body + "\n]}\n", "application/json");
}

MHD_Result MhdView::Alarms(MHD_Connection* connection) {
    return Text(connection, MHD_HTTP_OK, AlarmsJson(active_, recent_), "application/json");
}

MHD_Result MhdView::Metrics(MHD_Connection* connection) {
    if (devices_ == nullptr)
        return Refuse(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "not polling yet");
    const MetricsSource source{devices_,          &latest_records_, &active_,
                               version::Number(), started_,         Clock::now()};
    return Text(connection, MHD_HTTP_OK, MetricsText(source),
                "text/plain; version=0.0.4; charset=utf-8");
}

MHD_Result MhdView::History(MHD_Connection* connection) {
    const char* device = Argument(connection, "device");
    const auto id = command_line::ParseInteger(device ? device : "", 0, UINT32_MAX);
    if (!id || devices_ == nullptr ||
        FindDevice(*devices_, static_cast<std::uint32_t>(*id)) == nullptr) {
        return Refuse(connection, MHD_HTTP_NOT_FOUND, "device: not a device of this site");
    }
    HistoryQuery query;
    if (const std::string wrong = ReadHistoryQuery(connection, &query); !wrong.empty())
        return Refuse(connection, MHD_HTTP_BAD_REQUEST, wrong);
    return HistoryAnswer(
        connection, data_folder::HistoryPath(settings_.data_dir, static_cast<std::uint32_t>(*id)),
        query, &slice_);
}

MHD_Result MhdView::Events(MHD_Connection* connection, bool head) {
    if (head) return Text(connection, MHD_HTTP_OK, "", "text/event-stream");
    // A fixed socket buffer: the kernel would otherwise let a stream that is not
    // read swallow megabytes before the stream's own bounded buffer fills.
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        const int bytes = kStreamSocketBuffer;
        ::setsockopt(info->connect_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    MHD_Response* response = streams_.Open(connection);
    if (response != nullptr) MHD_add_response_header(response, "X-Accel-Buffering", "no");
    return Answer(connection, MHD_HTTP_OK, response, "text/event-stream");
}

}  // namespace

const char* WebView::Absent() { return nullptr; }

std::unique_ptr<WebView> WebView::Start(const WebViewSettings& settings,
                                        const console::Console& console, std::string* error) {
    auto view = std::make_unique<MhdView>(settings, console);
    *error = view->Listen();
    if (!error->empty()) return nullptr;
    view->Announce();
    return view;
}

}  // namespace runner::outputs
