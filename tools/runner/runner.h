#pragma once
// The host's part, played for the devices of one site: creates them through the
// plug-in, drives them from the serial lines on a steady tick, and takes their
// host calls (frames to send, published records, history, threshold checks),
// handing each completed round to the outputs. Everything runs on one thread;
// the devices are called one at a time.

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "host/stand_in/host_events.h"
#include "host/zor_controller.h"
#include "host/zor_sp_device.h"
#include "tools/runner/console.h"
#include "tools/runner/data_lock.h"
#include "tools/runner/device_chatter.h"
#include "tools/runner/device_link.h"
#include "tools/runner/history_keeper.h"
#include "tools/runner/line_scheduler.h"
#include "tools/runner/options.h"
#include "tools/runner/plugin_loader.h"
#include "tools/runner/port_line.h"
#include "tools/runner/round_output.h"
#include "tools/runner/site_config.h"

namespace runner {

// Exit statuses of a run.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCannotRun = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitTimeLimit = 3;

class Runner : public stand_in::InstalledHostEvents {
public:
    Runner(const RunOptions& options, const Console& console, DeviceChatter& chatter);
    ~Runner() override;

    // Creates the devices and polls until `stop_fd` becomes readable, the
    // rounds are done or the time limit passes. Returns the exit status.
    int PollSite(const Site& site, const Plugin& plugin, int stop_fd);

    // Takers of completed rounds, fed in the order added, and sharers of the
    // poll loop; they must outlive the run.
    void AddOutput(RoundOutput& output) { outputs_.push_back(&output); }
    void AddParticipant(LoopParticipant& participant) { participants_.push_back(&participant); }
    // Every device set up so far, in site order.
    std::vector<DeviceStatus> Statuses() const;

    // Host services called by the devices.
    void SendData(ZorSPDevice& device, const unsigned char* data, unsigned int length) override;
    void RefreshStatus(ZorSPDevice& device) override;
    void SendSP(ZorVDevice& device, int type_id, const unsigned char* data, unsigned int length,
                bool immediate) override;
    void SaveDeviceHistory(ZorVDevice& device, const unsigned char* data,
                           unsigned int length) override;
    void CheckThreshold(ZorVDevice& device, const std::string& name,
                        const std::string& display_name, float value, int index) override;

private:
    using Clock = std::chrono::steady_clock;

    struct DeviceState {
        SiteDevice site;
        std::string label;  // data id, for line prefixes
        std::shared_ptr<ZorSPDevice> device;
        std::size_t port = 0;
        std::unique_ptr<HistoryKeeper> keeper;  // none with --no-history
        DeviceStatus status;
        LinkTracker link{status};
        std::uint64_t checks = 0;  // threshold checks since the last record
    };
    struct PortState {
        std::unique_ptr<PortLine> line;
        LineScheduler schedule;  // who holds the line, who is next
        Clock::duration reply_timeout;
        bool sent_in_turn = false;   // the holder's turn put a command on the line
        bool reply_started = false;  // a burst came since the last command
    };
    // What one wait of the poll loop watches: the stop descriptor first, then
    // the lines that are up, then what the participants add.
    struct Waits {
        std::vector<pollfd> fds;
        std::vector<std::size_t> port_of;  // for each line's entry
        std::vector<std::size_t> shares;   // entries each participant added
    };
    enum class Ending { kRoundsDone, kSignal, kTimeLimit, kPollFailed };

    // The three stages of PollSite.
    bool StartSite(const Site& site, const Plugin& plugin);
    Ending PollLines(int stop_fd);
    int FinishSite(Ending ending);

    void SetUpDevice(const SiteDevice& site, const Plugin& plugin);
    void KeepHistory(DeviceState& state);
    void LoadCachedRecord(DeviceState& state, const HistoryKeeper::StartImage& cached);
    void SetUpPorts();
    bool OpenLines();
    void AttendToLines(Clock::time_point now);
    Clock::time_point ListWaits(int stop_fd, Clock::time_point now, Waits& waits) const;
    int Wait(Waits& waits, Clock::time_point wake);
    void ReadReadyLines(const Waits& waits, Clock::time_point now);
    // Line sharing (runner_line.cpp).
    void ServeLine(PortState& port, Clock::time_point now);
    void TakeTurn(PortState& port, std::size_t index, Clock::time_point now);
    void Deliver(PortState& port, std::vector<std::uint8_t> burst);
    bool MayStart(std::size_t index, Clock::time_point now) const;
    void WatchSilence(Clock::time_point now);
    void LineOpened(std::size_t port_index, Clock::time_point now);
    // Runs a call into a device: its printout is labelled, its exceptions reported.
    template <typename Fn>
    void CallDevice(DeviceState& state, const char* what, Fn&& fn);
    // Hands a round or a saved record to each output; a failing one is reported once.
    template <typename Fn>
    void ForEachOutput(Fn&& fn);
    DeviceState* Find(const ZorVDevice& device);
    bool RoundsDone() const;
    Clock::duration Tick() const { return std::chrono::milliseconds(options_.tick_ms); }

    const RunOptions& options_;
    const Console& console_;
    DeviceChatter& chatter_;
    std::shared_ptr<ZorController> controller_ = std::make_shared<ZorController>();
    std::vector<std::unique_ptr<DeviceState>> devices_;
    std::vector<PortState> ports_;
    std::vector<RoundOutput*> outputs_;
    std::vector<LoopParticipant*> participants_;
    std::uint64_t output_failures_ = 0;
    Clock::time_point polling_start_{};
    DataFolderLock data_lock_;
    bool stop_ = false;
};

template <typename Fn>
void Runner::CallDevice(DeviceState& state, const char* what, Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        if (state.status.errors++ == 0) {
            console_.Problem("[" + state.label + "] " + what + " failed: " + e.what() +
                             " (later failures are only counted)");
        }
    }
    chatter_.Flush(state.label);
}

}  // namespace runner
