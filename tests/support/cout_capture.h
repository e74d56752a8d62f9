#pragma once
// Standard output taken from the device while it runs. The device writes
// progress lines to std::cout: tests read them, while soak runs, fuzz targets
// and benchmarks would only be slowed down and buried by them. The test
// framework's own output (stdio) is left alone, so failures still show.
// Header-only, for the tests, the fuzz targets and the benchmarks alike.

#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

namespace test_support {

// Sends std::cout to `buffer` while it lives (nullptr: nowhere, the stream
// turns bad and nothing is even formatted), then puts the previous buffer back,
// which also clears the bad state.
class CoutRedirect {
public:
    explicit CoutRedirect(std::streambuf* buffer) : previous_(std::cout.rdbuf(buffer)) {}
    ~CoutRedirect() { std::cout.rdbuf(previous_); }
    CoutRedirect(const CoutRedirect&) = delete;
    CoutRedirect& operator=(const CoutRedirect&) = delete;

private:
    std::streambuf* previous_;
};

// Collects what is written to std::cout while it lives.
class CoutCapture {
public:
    // What was written since the last call.
    std::string Take() {
        std::string text = buffer_.str();
        buffer_.str("");
        return text;
    }

private:
    std::ostringstream buffer_;
    CoutRedirect redirect_{buffer_.rdbuf()};
};

// Throws away what is written to std::cout while it lives: formatted as
// always, then dropped.
class CoutSilence {
private:
    struct Sink : std::streambuf {
        int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    } sink_;
    CoutRedirect redirect_{&sink_};
};

}  // namespace test_support
