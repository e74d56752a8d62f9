#pragma once
// What the runner hands to the things that take its rounds (the console line,
// the history, a web view, a message broker, ...), and how such a thing shares
// the runner's one thread. Adding an output means implementing RoundOutput and
// handing it to Runner::AddOutput; the polling code does not change.
//
// The runner polls the lines from a single ppoll loop. An output that talks
// over sockets never gets a thread of its own: it adds its descriptors to that
// loop (LoopParticipant) and does its work in short, non-blocking steps, so a
// slow peer can never hold up polling.

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "battery32/battery32_data.h"

namespace runner {

// A device as the runner sees it: its place in the site and its link counters.
struct DeviceStatus {
    std::uint32_t data_id = 0;
    std::string name;  // from the site file, may be empty
    std::string port;
    std::uint64_t polls = 0;           // RefreshStatus calls made by the runner
    std::uint64_t rounds = 0;          // rounds completed (records published)
    std::uint64_t rounds_started = 0;  // rounds the device began
    std::uint64_t abandoned = 0;       // rounds begun and given up
    std::uint64_t resends = 0;         // commands the device sent again
    std::uint64_t unanswered = 0;      // commands whose reply timeout passed
    std::uint64_t wrong_replies = 0;   // replies from another address that reached it
    std::uint64_t errors = 0;          // exceptions out of the device
    // "polling" while rounds complete, "silent" when none has completed for a
    // while (see `silent_since`), "waiting" before the first round.
    std::string state = "waiting";
    std::chrono::system_clock::time_point last_round{};    // epoch: none yet
    std::chrono::system_clock::time_point silent_since{};  // epoch: not silent
};

// One completed round: the record the device published.
struct CompletedRound {
    const DeviceStatus& device;  // counters already include this round
    int type_id = 0;
    const std::uint8_t* image = nullptr;  // the published bytes, `length` long
    std::size_t length = 0;
    const Battery32_Data_t* record = nullptr;  // null if not a 32-cell record
    std::uint64_t threshold_checks = 0;        // made since the device's previous record
};

// A record the device asked the host to keep as history. The device asks for
// itself, after publishing the round and checking its thresholds, and the
// host keeps what it is asked to keep, when asked: so the history follows
// these requests, not the published rounds.
struct SavedRecord {
    std::uint32_t data_id = 0;
    const std::uint8_t* image = nullptr;
    std::size_t length = 0;
    int interval_seconds = 1;  // the device's history interval as it stands now
};

class RoundOutput {
public:
    virtual ~RoundOutput() = default;
    // Called once per completed round, in the order rounds complete, and for
    // every record a device asks to keep. Must not block; an exception is
    // reported once and the output is kept.
    virtual void OnRound(const CompletedRound& round) = 0;
    virtual void OnSaved(const SavedRecord&) {}
};

class LoopParticipant {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~LoopParticipant() = default;
    // Appends the descriptors to wait on and may bring `wake` forward (never
    // push it back).
    virtual void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) = 0;
    // After every wait, with the entries this participant added (their
    // `revents` filled in; all zero after a timeout). Must not block.
    virtual void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) = 0;
};

}  // namespace runner
