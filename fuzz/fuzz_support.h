#pragma once
// Shared by the fuzz targets: a quiet standard output, failure reporting that
// libFuzzer records as a crash, and replies built the way a module sends them.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Reads a fuzz input front to back; past its end every read yields zeros, so a
// short input still decodes to a whole sequence of operations.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool Empty() const { return p_ == end_; }
    std::uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
    std::uint16_t Word() {
        const std::uint8_t hi = Byte();
        return static_cast<std::uint16_t>((hi << 8) | Byte());
    }
    std::int32_t Int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
        std::int32_t out;
        std::memcpy(&out, &v, sizeof out);
        return out;
    }
    // Up to n bytes: fewer where the input ends.
    Bytes TakeUpTo(std::size_t n) {
        n = std::min<std::size_t>(n, static_cast<std::size_t>(end_ - p_));
        Bytes out(p_, p_ + n);
        p_ += n;
        return out;
    }
    // Exactly n bytes: padded with `fill` where the input ends, so a requested
    // length is kept.
    Bytes TakePadded(std::size_t n, std::uint8_t fill) {
        Bytes out(n, fill);
        for (std::size_t i = 0; i < n && p_ != end_; ++i) out[i] = *p_++;
        return out;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

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
