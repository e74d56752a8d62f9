#pragma once
// Shared by the fuzz targets: a quiet standard output, failure reporting that
// libFuzzer records as a crash, and replies built the way a module sends them.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <vector>

namespace fuzz_support {

// The device writes progress lines on every round; printing them would cost more
// than running the device and would bury libFuzzer's own output.
inline void SilenceStandardOutput() {
    struct NullBuffer : std::streambuf {
        int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    };
    static NullBuffer sink;
    std::cout.rdbuf(&sink);
}

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::fuzz_support::Fail(__FILE__, __LINE__, #cond))

using Bytes = std::vector<std::uint8_t>;

// The link checksum, written out here rather than taken from the device so that
// the checks below do not share a fault with the code they check.
inline std::uint8_t LinkChecksum(const std::uint8_t* data, std::size_t length) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum = (sum + data[i]) & 0xFFu;
    return static_cast<std::uint8_t>(sum % 254u);
}

constexpr std::uint8_t kReplyLead = 0xED;
constexpr std::size_t kValueReplyLength = 5;
constexpr std::size_t kCellReplyLength = 67;
constexpr std::size_t kCells = 32;

inline Bytes ValueReply(std::uint8_t addr, std::uint16_t raw) {
    Bytes r{kReplyLead, addr, static_cast<std::uint8_t>(raw >> 8),
            static_cast<std::uint8_t>(raw & 0xFF), 0};
    r[4] = LinkChecksum(&r[1], 3);
    return r;
}

inline Bytes CellReply(std::uint8_t addr, const std::array<std::uint16_t, kCells>& raw) {
    Bytes r{kReplyLead, addr};
    for (std::uint16_t v : raw) {
        r.push_back(static_cast<std::uint8_t>(v >> 8));
        r.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    r.push_back(LinkChecksum(&r[1], r.size() - 1));
    return r;
}

}  // namespace fuzz_support
