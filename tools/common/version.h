#pragma once
// Which build a program is: what --version prints, the web page shows and
// the MQTT device description carries. The number is the project's (set once,
// in the top CMakeLists.txt); the commit is added when it was built from a
// git checkout.

#include <string>

namespace version {

// "1.0.0 (commit 1a2b3c4)", "1.0.0 (commit 1a2b3c4, with local changes)" or
// "1.0.0" when built from an exported tree.
const char* Text();

// "1.0.0": the project's version alone.
const char* Number();

// "battery32-run 1.0.0 (commit 1a2b3c4)": what `program --version` prints.
inline std::string Line(const char* program) { return std::string(program) + " " + Text(); }

}  // namespace version
