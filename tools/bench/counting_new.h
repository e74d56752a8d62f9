#pragma once
// Heap accounting for the benchmark binary. The global allocation functions are
// replaced (every form: plain, array, nothrow, aligned, sized delete), so every
// operator new made anywhere in the process, the device code, the stand-in host,
// jsoncpp or the standard library, is counted. malloc called directly (stdio,
// localtime, exception objects) is not: that memory is not ours to budget.

#include <cstdint>

namespace alloc_count {

struct Totals {
    std::uint64_t allocations = 0;  // operator new calls that returned memory
    std::uint64_t frees = 0;        // operator delete calls on non-null pointers
    std::int64_t live_blocks = 0;
    std::int64_t live_bytes = 0;  // bytes requested, not yet freed
    // What the live blocks cost as glibc malloc chunks (header and rounding
    // included) on a 64-bit host and on the 32-bit target, from the requested
    // sizes. The 32-bit figure assumes the same requested sizes, which holds for
    // string buffers but overstates pointer-sized nodes.
    std::int64_t live_chunk_bytes_64 = 0;
    std::int64_t live_chunk_bytes_32 = 0;
};

Totals Now();

}  // namespace alloc_count
