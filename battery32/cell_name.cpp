#include "battery32/cell_name.h"

#include <climits>

namespace cell_name {
namespace {
constexpr std::string_view kPrefix = "battery_";
constexpr std::string_view kSuffix = "_value";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

std::optional<int> FindCellIndex(std::string_view name) {
    std::size_t from = 0;
    while (true) {
        const std::size_t at = name.find(kPrefix, from);
        if (at == std::string_view::npos) return std::nullopt;
        const std::size_t digits_begin = at + kPrefix.size();
        std::size_t digits_end = digits_begin;
        long long index = 0;
        while (digits_end < name.size() && IsDigit(name[digits_end])) {
            if (index <= INT_MAX) index = index * 10 + (name[digits_end] - '0');
            ++digits_end;
        }
        if (digits_end > digits_begin && name.substr(digits_end, kSuffix.size()) == kSuffix) {
            return static_cast<int>(index > INT_MAX ? INT_MAX : index);
        }
        // The digits just scanned cannot start another prefix, so resume after them.
        from = digits_end > digits_begin ? digits_end : at + 1;
    }
}

}  // namespace cell_name
