#include "tools/runner/runner_main.h"

int main(int argc, char** argv) { return runner::RunnerMain(argc, argv); }
