#include "battery/numeric_text.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace numeric_text {
namespace {

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal prefix after white space and sign, saturated to [-2^63, 2^63 - 1].
std::int64_t ParseDecimal(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && IsCSpace(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate the magnitude as unsigned so that -2^63 is representable.
    constexpr std::uint64_t kLimitPositive = std::numeric_limits<std::int64_t>::max();
    const std::uint64_t limit = negative ? kLimitPositive + 1 : kLimitPositive;
    std::uint64_t magnitude = 0;
    bool saturated = false;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (saturated) continue;
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            saturated = true;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    if (!negative) return static_cast<std::int64_t>(magnitude);
    if (magnitude == kLimitPositive + 1) return std::numeric_limits<std::int64_t>::min();
    return -static_cast<std::int64_t>(magnitude);
}

int SaturateToInt(std::int64_t value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

float SaturateToFloat(double value) {
    if (std::isnan(value) || std::isinf(value)) return static_cast<float>(value);
    if (value > FLT_MAX) return FLT_MAX;
    if (value < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(value);
}

int TruncateToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0) return INT_MAX;
    if (value <= -2147483649.0) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

int ToInt(const std::string& text) { return SaturateToInt(ParseDecimal(text)); }

std::int64_t ToLong(const std::string& text) { return ParseDecimal(text); }

double ToDouble(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

float ToFloat(const std::string& text) { return SaturateToFloat(ToDouble(text)); }

int ToIntTruncated(const std::string& text) { return TruncateToInt(ToDouble(text)); }

std::uint32_t ToPartnerId(const std::string& text) {
    std::int64_t id = ToLong(text);
    if (id > static_cast<std::int64_t>(UINT32_MAX)) id = UINT32_MAX;
    if (id < static_cast<std::int64_t>(INT32_MIN)) id = INT32_MIN;
    return static_cast<std::uint32_t>(id);
}

}  // namespace numeric_text
