#include "tools/bench/counting_new.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace alloc_count {
namespace {

std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> frees{0};
std::atomic<std::int64_t> live_blocks{0};
std::atomic<std::int64_t> live_bytes{0};
std::atomic<std::int64_t> live_chunk_64{0};
std::atomic<std::int64_t> live_chunk_32{0};

// Every block carries its requested size in a header in front of it, so that an
// unsized delete can still take the bytes off. The header keeps the default
// new alignment; over-aligned blocks get a header as large as their alignment.
constexpr std::size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
static_assert(kHeader >= sizeof(std::size_t), "header holds the size");

std::int64_t Chunk(std::size_t request, std::size_t size_field, std::size_t alignment,
                   std::size_t minimum) {
    const std::size_t raw = request + size_field;
    const std::size_t rounded = (raw + alignment - 1) & ~(alignment - 1);
    return static_cast<std::int64_t>(rounded < minimum ? minimum : rounded);
}

void Record(std::size_t size, int sign) {
    live_blocks.fetch_add(sign, std::memory_order_relaxed);
    live_bytes.fetch_add(sign * static_cast<std::int64_t>(size), std::memory_order_relaxed);
    // glibc: 8-byte size field, 16-byte alignment, 32-byte minimum on x86-64;
    // 4-byte size field, 8-byte alignment, 16-byte minimum on 32-bit MIPS.
    live_chunk_64.fetch_add(sign * Chunk(size, 8, 16, 32), std::memory_order_relaxed);
    live_chunk_32.fetch_add(sign * Chunk(size, 4, 8, 16), std::memory_order_relaxed);
}

std::size_t HeaderFor(std::size_t alignment) { return alignment > kHeader ? alignment : kHeader; }

void* TryAllocate(std::size_t size, std::size_t alignment) {
    const std::size_t header = HeaderFor(alignment);
    if (size > static_cast<std::size_t>(-1) - 2 * header) return nullptr;
    void* base = nullptr;
    if (alignment <= kHeader) {
        base = std::malloc(size + header);
    } else {
        // aligned_alloc wants a multiple of the alignment.
        const std::size_t total = (size + header + alignment - 1) & ~(alignment - 1);
        base = std::aligned_alloc(alignment, total);
    }
    if (base == nullptr) return nullptr;
    *static_cast<std::size_t*>(base) = size;
    allocations.fetch_add(1, std::memory_order_relaxed);
    Record(size, +1);
    return static_cast<unsigned char*>(base) + header;
}

void* Allocate(std::size_t size, std::size_t alignment) {
    while (true) {
        if (void* p = TryAllocate(size, alignment)) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void Release(void* p, std::size_t alignment) {
    if (p == nullptr) return;
    void* base = static_cast<unsigned char*>(p) - HeaderFor(alignment);
    frees.fetch_add(1, std::memory_order_relaxed);
    Record(*static_cast<std::size_t*>(base), -1);
    std::free(base);
}

std::size_t AlignOf(std::align_val_t a) { return static_cast<std::size_t>(a); }

}  // namespace

Totals Now() {
    Totals t;
    t.allocations = allocations.load(std::memory_order_relaxed);
    t.frees = frees.load(std::memory_order_relaxed);
    t.live_blocks = live_blocks.load(std::memory_order_relaxed);
    t.live_bytes = live_bytes.load(std::memory_order_relaxed);
    t.live_chunk_bytes_64 = live_chunk_64.load(std::memory_order_relaxed);
    t.live_chunk_bytes_32 = live_chunk_32.load(std::memory_order_relaxed);
    return t;
}

}  // namespace alloc_count

using alloc_count::AlignOf;
using alloc_count::Allocate;
using alloc_count::Release;
using alloc_count::TryAllocate;

void* operator new(std::size_t size) { return Allocate(size, 0); }
void* operator new[](std::size_t size) { return Allocate(size, 0); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return TryAllocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return TryAllocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) { return Allocate(size, AlignOf(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return Allocate(size, AlignOf(a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return TryAllocate(size, AlignOf(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return TryAllocate(size, AlignOf(a));
}

void operator delete(void* p) noexcept { Release(p, 0); }
void operator delete[](void* p) noexcept { Release(p, 0); }
void operator delete(void* p, std::size_t) noexcept { Release(p, 0); }
void operator delete[](void* p, std::size_t) noexcept { Release(p, 0); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p, 0); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p, 0); }
void operator delete(void* p, std::align_val_t a) noexcept { Release(p, AlignOf(a)); }
void operator delete[](void* p, std::align_val_t a) noexcept { Release(p, AlignOf(a)); }
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept { Release(p, AlignOf(a)); }
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept {
    Release(p, AlignOf(a));
}
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    Release(p, AlignOf(a));
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    Release(p, AlignOf(a));
}
