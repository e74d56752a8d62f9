#pragma once
// The model's random numbers: splitmix64, fixed arithmetic, so that every
// platform and standard library draws the same sequence from the same seed.

#include <cstdint>

namespace module {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // [0, 1), from the top 53 bits.
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    // [0, n)
    unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }
    bool Percent(unsigned p) { return Below(100) < p; }
    // [lo, hi]
    std::uint16_t Between(unsigned lo, unsigned hi) {
        return static_cast<std::uint16_t>(lo + Below(hi - lo + 1));
    }

private:
    std::uint64_t state_;
};

}  // namespace module
