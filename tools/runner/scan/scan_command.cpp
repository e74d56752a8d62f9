#include "tools/runner/scan/scan_command.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "battery/protocol.h"
#include "tools/common/command_line.h"
#include "tools/common/console/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/json_input.h"
#include "tools/common/serial_port.h"
#include "tools/common/time_text.h"
#include "tools/runner/line/burst_gatherer.h"
#include "tools/runner/line/echo_filter.h"
#include "tools/runner/line/line_timing.h"
#include "tools/runner/line/port_line.h"
#include "tools/runner/site/site.h"

namespace runner::scan {
namespace {

namespace wire = battery_protocol;
using Bytes = std::vector<std::uint8_t>;

constexpr char kUsage[] =
    "usage: battery32-run scan PORT [--addresses A-B] [--baud N] [--rs485]\n"
    "                               [--reply-timeout-ms N]\n"
    "Asks each address (default 0-255) for its cell voltages, one command each,\n"
    "and lists the modules that answered; writes nothing else.\n"
    "  --addresses A-B       the addresses to ask, or one: A (0..255, or 0x..)\n"
    "  --baud N              the line's speed (default 19200, the device's)\n"
    "  --rs485               set the port's RS-485 mode (RTS high while sending)\n"
    "  --reply-timeout-ms N  how long to wait for each reply (default: what the\n"
    "                        speed implies, 139 ms at 19200)\n";

struct ScanOptions {
    std::string port;
    unsigned first = 0;
    unsigned last = 255;
    int baud = 19200;
    bool rs485 = false;
    int reply_timeout_ms = 0;
    bool help = false;
};

// One address as the site file writes it: decimal or 0x.. hexadecimal.
unsigned ReadAddress(const std::string& text) {
    Json::Value given(Json::objectValue);
    given["--addresses"] = text;
    return static_cast<unsigned>(json_input::RequireInteger(given, "--addresses", "", 0, 255));
}

command_line::Take AddressRange(ScanOptions* o) {
    return [o](const std::string& text, std::string* fault) {
        const std::size_t dash = text.find('-');
        try {
            o->first = ReadAddress(text.substr(0, dash));
            o->last = dash == std::string::npos ? o->first : ReadAddress(text.substr(dash + 1));
        } catch (const json_input::InputError& e) {
            *fault = e.what();
            return false;
        }
        if (o->first <= o->last) return true;
        *fault = "--addresses " + text + ": the first address comes after the last";
        return false;
    };
}

// "" or what is wrong with the command line.
std::string ParseScan(const std::vector<std::string>& args, ScanOptions& o) {
    using command_line::Number;
    const std::vector<command_line::Option> options = {
        {"addresses", "A-B", nullptr, "addresses A-B (0..255)", AddressRange(&o)},
        {"baud", "N", nullptr, "a line speed in baud", Number(&o.baud, 1, 4000000)},
        {"rs485", nullptr, nullptr, nullptr, command_line::Flag(&o.rs485)},
        {"reply-timeout-ms", "N", nullptr, "milliseconds, 1 or more",
         Number(&o.reply_timeout_ms, 1, 3600000)},
        {"help", nullptr, nullptr, nullptr, command_line::Flag(&o.help), 'h'},
    };
    std::string fault =
        command_line::Walk(args, options, [&o](const std::string& port, std::string* why) {
            if (!o.port.empty()) {
                *why = "one port at a time";
                return false;
            }
            o.port = port;
            return true;
        });
    if (fault.empty() && o.port.empty()) fault = "which port?";
    return fault.empty() ? fault : "scan: " + fault;
}

// The cell-voltage command to `address`, its checksum the module's: the
// 8-bit sum of address and code, modulo 254.
std::array<std::uint8_t, wire::kCommandLength> CellCommand(std::uint8_t address) {
    const auto sum = static_cast<std::uint8_t>(address + wire::kCmdCellVoltages);
    return {wire::kCommandLead, wire::kCommandLead, address, wire::kCmdCellVoltages,
            static_cast<std::uint8_t>(sum % 254)};
}

bool ChecksumHolds(const Bytes& reply) {
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i + 1 < reply.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + reply[i]);
    return sum % 254 == reply.back();
}

// What one address sent back.
struct Answer {
    enum class Kind { kSilent, kAnswered, kBadChecksum, kOtherAddress, kGarbled };
    Kind kind = Kind::kSilent;
    Bytes bytes;
};

Answer Classify(std::uint8_t address, std::optional<Bytes> burst) {
    if (!burst) return {};
    const Bytes& b = *burst;
    Answer::Kind kind = Answer::Kind::kGarbled;
    if (b.size() >= 2 && b[0] == wire::kReplyLead && b[1] != address) {
        kind = Answer::Kind::kOtherAddress;
    } else if (b.size() == wire::kCellReplyLength && b[0] == wire::kReplyLead) {
        kind = ChecksumHolds(b) ? Answer::Kind::kAnswered : Answer::Kind::kBadChecksum;
    }
    return {kind, std::move(*burst)};
}

// The line, asked one address at a time: the echo taken off what comes back,
// a reply taken as soon as it is whole, else once the line has been quiet.
class Scanner {
public:
    using Clock = std::chrono::steady_clock;

    Scanner(int fd, int baud, Clock::duration timeout)
        : fd_(fd),
          gatherer_(line::PortLine::kBurstLimit, serial_port::QuietGap(baud)),
          timeout_(timeout) {}

    // Throws std::runtime_error when the line fails.
    Answer Ask(std::uint8_t address) {
        Drain();
        const auto command = CellCommand(address);
        if (::write(fd_, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
            throw std::runtime_error(std::string("cannot write: ") + std::strerror(errno));
        }
        garbled_echoes_ += echo_.Sent(command.data(), command.size()) ? 1 : 0;
        gatherer_.Expect(line::ReplyShapeFor(command.data(), command.size()));
        return Classify(address, AwaitReply());
    }

    bool echoing() const { return echo_.echoing(); }
    std::uint64_t garbled_echoes() const { return garbled_echoes_; }

private:
    // Whatever is left of an earlier exchange belongs to nobody now.
    void Drain() {
        std::uint8_t buffer[256];
        while (::read(fd_, buffer, sizeof buffer) > 0) {
        }
        gatherer_.Clear();
    }

    // What came back for the command: the whole reply as soon as it is in,
    // else everything that came before the timeout (or, while more is still
    // coming, before twice the timeout); nothing when nothing came.
    std::optional<Bytes> AwaitReply() {
        const auto start = Clock::now();
        const auto deadline = start + timeout_, last = start + 2 * timeout_;
        Bytes came;
        for (auto now = start;; now = Clock::now()) {
            if (auto piece = gatherer_.TakeIfQuiet(now))
                came.insert(came.end(), piece->begin(), piece->end());
            const auto held = gatherer_.Deadline();
            if ((now >= deadline && !held) || now >= last) break;
            const auto wake = held ? std::min(*held, last) : deadline;
            pollfd p{fd_, POLLIN, 0};
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now);
            if (::poll(&p, 1, static_cast<int>(wait.count()) + 1) > 0 && Read(Clock::now(), came)) {
                return came;
            }
        }
        if (came.empty()) return std::nullopt;
        return came;
    }

    // Reads what is waiting into `came`; true once the reply due is whole.
    bool Read(Clock::time_point now, Bytes& came) {
        std::uint8_t buffer[256];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            const line::EchoFilter::Taken taken = echo_.Take(buffer, static_cast<std::size_t>(n));
            garbled_echoes_ += taken.garbled ? 1 : 0;
            const auto bursts = gatherer_.Add(buffer + taken.echo_bytes,
                                              static_cast<std::size_t>(n) - taken.echo_bytes, now);
            for (const Bytes& b : bursts) came.insert(came.end(), b.begin(), b.end());
            // The reply due is whole, or as much came as a reply can hold: enough either way.
            if (!bursts.empty()) return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
        return false;
    }

    int fd_;
    line::BurstGatherer gatherer_;
    line::EchoFilter echo_{line::EchoMode::kAuto};
    Clock::duration timeout_;
    std::uint64_t garbled_echoes_ = 0;
};

// "cells 1-4 13.48 13.52 13.49 13.50 V".
std::string FirstCells(const Bytes& reply) {
    std::string text = "cells 1-4";
    char volts[16];
    for (std::size_t cell = 0; cell < 4; ++cell) {
        const std::uint16_t raw = wire::ReadBigEndian16(&reply[2 + 2 * cell]);
        std::snprintf(volts, sizeof volts, " %.2f", raw / 100.0);
        text += volts;
    }
    return text + " V";
}

// The line for an address that sent something back, "" for one that did not.
std::string Described(unsigned address, const Answer& a) {
    const std::string head = site::AddressText(address) + "  ";
    const auto some = [&a] {
        return line::HexText(a.bytes.data(), std::min<std::size_t>(a.bytes.size(), 8)) +
               (a.bytes.size() > 8 ? " ..." : "");
    };
    switch (a.kind) {
        case Answer::Kind::kAnswered:
            return head + "answered: " + FirstCells(a.bytes);
        case Answer::Kind::kBadChecksum:
            return head + "answered, but its checksum is wrong: " + some();
        case Answer::Kind::kOtherAddress:
            return head + "a reply from " + site::AddressText(a.bytes[1]) + " came instead";
        case Answer::Kind::kGarbled:
            return head + "garbled: " + std::to_string(a.bytes.size()) + " bytes, " + some();
        case Answer::Kind::kSilent:
            break;
    }
    return "";
}

struct Tally {
    std::string answered;  // "0x01, 0x02"
    unsigned answers = 0, others = 0, garbled = 0;
};

std::string Summary(const ScanOptions& o, const Tally& t, const Scanner& scanner) {
    const unsigned asked = o.last - o.first + 1;
    std::string line = std::to_string(t.answers) + " of " + std::to_string(asked) +
                       (asked == 1 ? " address" : " addresses") + " answered" +
                       (t.answers ? ": " + t.answered : "");
    const auto count = [](unsigned n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    if (t.others) line += "; " + count(t.others, "reply", "replies") + " from another address";
    if (t.garbled) {
        line += "; " + count(t.garbled, "reply", "replies") + " garbled or with a wrong checksum";
    }
    line += scanner.echoing() ? "; the line echoes what is sent (taken off before the replies)"
                              : "; no echo";
    if (scanner.garbled_echoes()) {
        line += ", " + count(static_cast<unsigned>(scanner.garbled_echoes()), "echo", "echoes") +
                " garbled";
    }
    return line;
}

// Asks every address in turn, saying what each that sent something back sent.
// False when the line failed before the end.
bool AskEach(const ScanOptions& o, Scanner& scanner, const console::Console& console,
             Tally& tally) {
    try {
        for (unsigned a = o.first; a <= o.last; ++a) {
            const Answer answer = scanner.Ask(static_cast<std::uint8_t>(a));
            if (answer.kind == Answer::Kind::kSilent) continue;
            console.Record(Described(a, answer));
            if (answer.kind == Answer::Kind::kAnswered) {
                tally.answered += (tally.answers++ ? ", " : "") + site::AddressText(a);
            }
            tally.others += answer.kind == Answer::Kind::kOtherAddress;
            tally.garbled +=
                answer.kind == Answer::Kind::kGarbled || answer.kind == Answer::Kind::kBadChecksum;
        }
    } catch (const std::runtime_error& e) {
        console.Problem("port " + o.port + ": " + e.what() + "; the scan stops");
        return false;
    }
    return true;
}

int Scan(const ScanOptions& o, const console::Console& console) {
    line::PortSettings settings;
    if (o.rs485) settings.rs485 = serial_port::Rs485{};
    std::string why;
    const int fd = line::OpenPort(o.port, o.baud, settings, &why);
    if (fd < 0) {
        console.Problem("port " + o.port + ": " + why);
        return exit_status::kCannotRun;
    }
    const auto timeout = o.reply_timeout_ms > 0
                             ? std::chrono::milliseconds(o.reply_timeout_ms)
                             : line::DefaultReplyTimeout(o.baud, serial_port::QuietGap(o.baud));
    const std::string node = serial_port::DeviceNode(fd);
    console.Note("scanning " + o.port + (node.empty() || node == o.port ? "" : " (" + node + ")") +
                 " at " + std::to_string(o.baud) + " baud, 8N1, addresses " +
                 site::AddressText(o.first) + ".." + site::AddressText(o.last) +
                 ": one cell-voltage command each, " + time_text::Duration(timeout) +
                 " for a reply; cells shown at 10 mV a step");
    Scanner scanner(fd, o.baud, timeout);
    Tally tally;
    const bool whole = AskEach(o, scanner, console, tally);
    ::close(fd);
    const std::string summary = Summary(o, tally, scanner);
    if (tally.answers == 0 || !whole) {
        console.Problem(summary);
        return exit_status::kCannotRun;
    }
    console.Note(summary);
    return exit_status::kOk;
}

}  // namespace

int ScanCommand(const std::vector<std::string>& args) {
    ScanOptions options;
    const std::string fault = ParseScan(args, options);
    return console::SubCommand(kUsage, options.help, fault, [&](const console::Console& console) {
        return Scan(options, console);
    });
}

}  // namespace runner::scan
