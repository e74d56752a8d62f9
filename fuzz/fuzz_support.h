#pragma once
// Shared by the fuzz targets: a quiet standard output, failure reporting that
// libFuzzer records as a crash, and a reader of the fuzz input. Replies are
// built by the module model (tools/module/module_wire.h), written independently
// of the device, so that the checks do not share a fault with the code they check.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/cout_capture.h"
#include "tools/module/module_wire.h"

namespace fuzz_support {

// The device writes progress lines on every round; printing them would cost more
// than running the device and would bury libFuzzer's own output.
inline void SilenceStandardOutput() { static test_support::CoutSilence silence; }

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::fuzz_support::Fail(__FILE__, __LINE__, #cond))

using module::Bytes;

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

}  // namespace fuzz_support
