#pragma once
// Collects what the device writes to std::cout while it lives, leaving the test
// framework's own output (stdio) alone so failures still show.

#include <iostream>
#include <sstream>
#include <string>

namespace test_support {

class CoutCapture {
public:
    CoutCapture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous_); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    // What was written since the last call.
    std::string Take() {
        std::string text = buffer_.str();
        buffer_.str("");
        return text;
    }

private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

}  // namespace test_support
