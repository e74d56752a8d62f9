#include "tools/runner/make_outputs.h"

#include "tools/runner/line/line_timing.h"
#include "tools/runner/outputs/console/console_output.h"
#include "tools/runner/outputs/history/history_store.h"
#include "tools/runner/outputs/mqtt/mqtt_output.h"
#include "tools/runner/outputs/web/web_view.h"

namespace runner {

std::unique_ptr<outputs::Outputs> MakeOutputs(const RunOptions& options,
                                              const console::Console& console) {
    auto made = std::make_unique<outputs::Outputs>(console);
    made->Add(std::make_unique<outputs::ConsoleOutput>(
        console, options.json, options.verbose,
        line::SilencePeriod(std::chrono::milliseconds(options.tick_ms))));
    if (options.history) {
        if (const std::string error = made->data_lock().Take(options.data_dir); !error.empty()) {
            console.Problem(error + " (--no-history polls without it)");
            return nullptr;
        }
        const outputs::HistoryPolicy policy{options.history_every_round, options.fsync_each_record,
                                            std::chrono::seconds(options.cache_every_s)};
        made->AddHistory(std::make_unique<outputs::HistoryStore>(options.data_dir, policy, console,
                                                                 made->data_lock()));
    }
    if (!options.mqtt.url.empty()) {
        if (auto mqtt = outputs::MqttOutput::Start(options.mqtt, console))
            made->Add(std::move(mqtt));
    }
    if (!options.http_listen.empty()) {
        std::string error;
        auto view =
            outputs::WebView::Start({options.http_listen, options.http_token_path,
                                     options.http_token, options.data_dir, options.http_hosts},
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
