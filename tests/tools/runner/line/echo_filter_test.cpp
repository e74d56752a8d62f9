// What is taken off as a line's echo, step by step: commands written, bytes
// read back, and what the filter made of each read.

#include "tools/runner/line/echo_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace runner::line {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kCommand = {0xFE, 0xFE, 0x01, 0xA1, 0xA2};
const Bytes kOther = {0xFE, 0xFE, 0x02, 0xA2, 0xA4};
const Bytes kReply = {0xED, 0x01, 0x01, 0x0A, 0x0C};

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// One step: a command written (`sent`), or bytes read back and what of them
// should be echo.
struct Step {
    Bytes sent;
    Bytes read;
    std::size_t echo_bytes = 0;
    bool first_echo = false;
    bool garbled = false;  // for a read; for a write: an unfinished echo given up
};

Step Send(const Bytes& command, bool gives_up_garbled = false) {
    return {command, {}, 0, false, gives_up_garbled};
}
Step Read(const Bytes& bytes, std::size_t echo_bytes, bool first_echo = false,
          bool garbled = false) {
    return {{}, bytes, echo_bytes, first_echo, garbled};
}

struct Case {
    const char* name;
    EchoMode mode;
    std::vector<Step> steps;
    bool echoing_at_end;
};

TEST(EchoFilter, TakesOffWhatCameBackOfEachCommandAndNothingElse) {
    const Case cases[] = {
        {"an echo found, then taken off again in pieces",
         EchoMode::kAuto,
         {Send(kCommand), Read(Join({kCommand, kReply}), 5, true), Send(kOther),
          Read({0xFE, 0xFE}, 2), Read({0x02, 0xA2, 0xA4, 0xED}, 3)},
         true},
        {"no echo: the reply is left whole",
         EchoMode::kAuto,
         {Send(kCommand), Read(kReply, 0), Read(kCommand, 0)},
         false},
        {"an echo that differs: taken off and counted, but shows no echo yet",
         EchoMode::kAuto,
         {Send(kCommand), Read({0xFE, 0xFE, 0x01, 0xA1, 0x00, 0xED}, 5, false, true)},
         false},
        {"once echoing, a garbled head is still echo",
         EchoMode::kAuto,
         {Send(kCommand), Read(kCommand, 5, true), Send(kCommand),
          Read(Join({{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kReply}), 5, false, true)},
         true},
        {"once echoing, a reply lead where the echo should be: the echo is missing",
         EchoMode::kAuto,
         {Send(kCommand), Read(kCommand, 5, true), Send(kCommand), Read(kReply, 0)},
         true},
        {"an echo cut short is given up at the next command",
         EchoMode::kAuto,
         {Send(kCommand), Read(kCommand, 5, true), Send(kCommand), Read({0xFE, 0xFE}, 2),
          Send(kOther, true), Read(kOther, 5)},
         true},
        {"an echo that never came is not counted",
         EchoMode::kAuto,
         {Send(kCommand), Read(kCommand, 5, true), Send(kCommand), Send(kOther, false)},
         true},
        {"set on: the first bytes are the echo from the start",
         EchoMode::kOn,
         {Send(kCommand), Read(Join({{0x00, 0xFE, 0x01, 0xA1, 0xA2}, kReply}), 5, false, true),
          Send(kCommand), Read(kCommand, 5)},
         true},
        {"set off: nothing is taken off",
         EchoMode::kOff,
         {Send(kCommand), Read(Join({kCommand, kReply}), 0), Send(kCommand, false)},
         false},
        {"bytes before any command are nobody's echo", EchoMode::kOn, {Read(kCommand, 0)}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EchoFilter filter(c.mode);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& s = c.steps[i];
            if (!s.sent.empty()) {
                EXPECT_EQ(filter.Sent(s.sent.data(), s.sent.size()), s.garbled);
                continue;
            }
            const EchoFilter::Taken taken = filter.Take(s.read.data(), s.read.size());
            EXPECT_EQ(taken.echo_bytes, s.echo_bytes);
            EXPECT_EQ(taken.first_echo, s.first_echo);
            EXPECT_EQ(taken.garbled, s.garbled);
        }
        EXPECT_EQ(filter.echoing(), c.echoing_at_end);
    }
}

// After a reopen no echo is due; whether the line echoes is still known.
TEST(EchoFilter, AReopenedLineOwesNoEcho) {
    EchoFilter filter(EchoMode::kAuto);
    filter.Sent(kCommand.data(), kCommand.size());
    EXPECT_EQ(filter.Take(kCommand.data(), kCommand.size()).echo_bytes, 5u);
    filter.Sent(kCommand.data(), kCommand.size());
    filter.Reopened();
    EXPECT_EQ(filter.Take(kCommand.data(), kCommand.size()).echo_bytes, 0u);
    EXPECT_TRUE(filter.echoing());
    // The garbled echo's bytes and what they should have been, for the note.
    filter.Sent(kOther.data(), kOther.size());
    const Bytes garbled = {0xFE, 0xFE, 0x02, 0xA2, 0x00};
    EXPECT_TRUE(filter.Take(garbled.data(), garbled.size()).garbled);
    ASSERT_EQ(filter.last_length(), 5u);
    EXPECT_EQ(Bytes(filter.last_heard().begin(), filter.last_heard().begin() + 5), garbled);
    EXPECT_EQ(Bytes(filter.last_sent().begin(), filter.last_sent().begin() + 5), kOther);
}

}  // namespace
}  // namespace runner::line
