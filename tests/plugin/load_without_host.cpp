// A process without the host framework, loading the plug-in as a host would.
// The plug-in leaves the host's symbols to the process that loads it, so here
// dlopen must fail with the loader's error, naming a missing symbol, and the
// process must get that error back rather than crash.
//
// Usage: load_without_host PLUGIN
// Exit 0 when dlopen refused it for an undefined symbol; 1 otherwise.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: load_without_host PLUGIN\n");
        return 1;
    }
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
        std::fprintf(stderr, "load_without_host: %s loaded without a host in the process\n",
                     argv[1]);
        return 1;
    }
    const char* why = dlerror();
    std::printf("load_without_host: dlopen refused it: %s\n", why ? why : "(no message)");
    if (why == nullptr || std::strstr(why, "undefined symbol") == nullptr) {
        std::fprintf(stderr, "load_without_host: refused, but not for a missing host symbol\n");
        return 1;
    }
    return 0;
}
