#pragma once
// Exit statuses of the tools, the same in every program and sub-command.

namespace exit_status {

inline constexpr int kOk = 0;
// Nothing can run: an input that cannot be read or used, a resource in use.
inline constexpr int kCannotRun = 1;
// The command line is wrong.
inline constexpr int kUsage = 2;
// battery32-run: the time limit came before every device completed --rounds.
inline constexpr int kTimeLimit = 3;

}  // namespace exit_status
