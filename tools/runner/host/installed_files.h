#pragma once
// Where the runner finds the files it does not carry inside itself: the
// device plug-in and the example site and modules. Installed (make install,
// the packages), they lie at fixed places relative to the program:
// bin/../lib/<arch>/battery32/plugins/libbattery32.so and
// bin/../share/battery32/examples/, wherever the tree was installed (a
// DESTDIR too). In the build tree the plug-in lies one folder above the
// program and the examples in the source tree.

#include <string>

namespace runner::host {

// The plug-in used without --plugin: the installed one, else libbattery32.so
// beside the program or in the folder above it (the build tree), else the one
// this program was built with.
std::string DefaultPluginPath();

// The folder of the example site and modules (--simulate without a site):
// the installed one, else the source tree's.
std::string ExamplesDir();

}  // namespace runner::host
