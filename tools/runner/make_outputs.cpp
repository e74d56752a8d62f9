#include "tools/runner/make_outputs.h"

#include <unistd.h>

#include "tools/runner/outputs/alarm_command/alarm_command.h"
#include "tools/runner/outputs/alarm_log/alarm_log_output.h"
#include "tools/runner/outputs/console/console_output.h"
#include "tools/runner/outputs/history/history_store.h"
#include "tools/runner/outputs/mqtt/mqtt_output.h"
#include "tools/runner/outputs/service/service_notifier.h"
#include "tools/runner/outputs/web/web_view.h"

namespace runner {

namespace {

// This machine's name, as the web view's header shows it.
std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

}  // namespace

std::unique_ptr<outputs::Outputs> MakeOutputs(const RunOptions& options,
                                              const console::Console& console,
                                              const std::string& site_name) {
    auto made = std::make_unique<outputs::Outputs>(console);
    // First: it says STOPPING=1 before the others take their time to finish.
    if (auto notifier = outputs::ServiceNotifier::Start(console)) made->Add(std::move(notifier));
    made->Add(std::make_unique<outputs::ConsoleOutput>(
        console, outputs::ConsoleOutput::Settings{options.json, !options.quiet, options.verbose,
                                                  SilencePeriod(options)}));
    if (options.history) {
        if (const std::string error = made->data_lock().Take(options.data_dir); !error.empty()) {
            console.Problem(error + " (--no-history polls without it)");
            return nullptr;
        }
        const outputs::HistoryPolicy policy{options.history_every_round, options.fsync_each_record,
                                            std::chrono::seconds(options.cache_every_s)};
        made->AddHistory(std::make_unique<outputs::HistoryStore>(options.data_dir, policy, console,
                                                                 made->data_lock()));
        made->Add(std::make_unique<outputs::AlarmLogOutput>(options.data_dir, console));
    }
    if (!options.alarm_command.empty()) {
        made->Add(std::make_unique<outputs::AlarmCommand>(
            options.alarm_command,
            std::chrono::duration_cast<loop::Clock::duration>(
                std::chrono::duration<double>(options.alarm_timeout_s)),
            console));
    }
    if (!options.mqtt.url.empty()) {
        outputs::MqttSettings mqtt_settings = options.mqtt;
        // A value not renewed for two silence periods (three ticks, at least
        // 10 s, each) is gone, even if nothing else says so.
        mqtt_settings.expire_after_s = static_cast<int>(
            std::chrono::ceil<std::chrono::seconds>(2 * SilencePeriod(options)).count());
        if (auto mqtt = outputs::MqttOutput::Start(mqtt_settings, console))
            made->Add(std::move(mqtt));
    }
    if (!options.http_listen.empty()) {
        std::string error;
        const outputs::ViewHeading heading{
            HostName(), site_name, "", options.tick_ms,
            std::chrono::duration<double>(SilencePeriod(options)).count()};
        auto view = outputs::WebView::Start(
            {options.http_listen, options.http_token_path, options.http_token, options.data_dir,
             options.http_hosts, heading},
            console, &error);
        if (!view) {
            console.Problem(error);
            return nullptr;
        }
        made->Add(std::move(view));
    }
    return made;
}

}  // namespace runner
