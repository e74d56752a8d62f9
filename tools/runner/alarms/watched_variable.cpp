#include "tools/runner/alarms/watched_variable.h"

namespace runner::alarms {
namespace {

constexpr std::string_view kCellHead = "battery_";
constexpr std::string_view kCellTail = "_value";
constexpr std::string_view kNames[] = {"group_voltage", "group_current", "temperature"};

bool StartsWith(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The cell of "battery_<i>_value", or kNoVariable.
int CellOf(std::string_view name) {
    if (!StartsWith(name, kCellHead) || !EndsWith(name, kCellTail)) return kNoVariable;
    const std::string_view digits =
        name.substr(kCellHead.size(), name.size() - kCellHead.size() - kCellTail.size());
    if (digits.empty() || digits.size() > 2 || (digits.size() > 1 && digits[0] == '0'))
        return kNoVariable;
    int cell = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return kNoVariable;
        cell = cell * 10 + (c - '0');
    }
    return cell < kCells ? kFirstCell + cell : kNoVariable;
}

}  // namespace

int VariableOf(std::string_view name) {
    for (int v = 0; v < kFirstCell; ++v)
        if (name == kNames[v]) return v;
    return CellOf(name);
}

int WatchedBy(std::string_view watch) {
    return watch == "battery_*_value" ? kEveryCell : VariableOf(watch);
}

std::string VariableName(int variable) {
    if (variable >= 0 && variable < kFirstCell) return std::string(kNames[variable]);
    return std::string(kCellHead) + std::to_string(variable - kFirstCell) + std::string(kCellTail);
}

}  // namespace runner::alarms
