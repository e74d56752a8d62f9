#pragma once
// Reading a small input file that a person names on the command line (a site
// file, a simulator configuration, a token, credentials) without letting the
// name hold the program up: only a regular file is read, it is opened without
// blocking (a FIFO or a device would wait for a writer or read for ever), and
// no more than a stated number of bytes is taken.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace input_file {

struct Contents {
    std::string text;
    mode_t mode = 0;    // the file's permission bits, for warnings about who can read it
    std::string error;  // empty: read whole; else what is wrong, for "FILE: <error>"
};

// The whole file at `path`, at most `limit` bytes. Errors: "cannot read
// (reason)", "not a regular file (a directory)", "larger than 4 MiB".
Contents Read(const std::string& path, std::size_t limit);

// "" for a regular file; else the same error as Read gives, for files read
// by others (a library, a certificate store).
std::string RegularFileProblem(const std::string& path);

// Whether others than the owner may read a file with `mode`.
inline bool OthersMayRead(mode_t mode) { return (mode & 0044) != 0; }

// "4 MiB", "4 KiB" or "100 bytes".
std::string SizeText(std::size_t bytes);

}  // namespace input_file
