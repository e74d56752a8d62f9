#pragma once
// Layout of a serial-link fuzz input, shared by the target and the seed maker.
//
//   byte 0   host address (addr_ as the host sets it, before InitSetting)
//   byte 1   settings: bit 0 dir, bit 1 millivolt cells (battery_type 6),
//            bit 2 version 2, bit 3 current sensor (current_ratio 1),
//            bits 4-5 cell adjustment, bits 6-7 group gain and offset
//   byte 2   settings: bits 0-1 t0, bits 2-3 t31, bits 4-7 low bits of the data id
//   then operations until the input ends, each an operation byte (low 3 bits:
//   the kind below, high 5 bits: a variant) and its operands.

#include <cstdint>

namespace link_input {

enum Kind : std::uint8_t {
    kTick = 0,        // RefreshStatus
    kRawChunk = 1,    // length byte, then that many bytes (fewer at the end of input)
    kGoodReply = 2,   // a well-formed reply to the pending command: 2 or 64 value bytes
    kSplitReply = 3,  // as kGoodReply, cut after (split byte % length) + 1 bytes
    kBadReply = 4,    // as kGoodReply, spoilt as the variant says (BadReplyVariant)
    kNullChunk = 5,   // length byte: process(nullptr, length)
    kEmptyChunk = 6,  // process(buffer, 0)
    kNoisyReply = 7,  // noise length byte, noise, then a good reply, in one chunk
};

enum BadReplyVariant : std::uint8_t {
    kBadChecksum = 0,
    kWrongAddress = 1,
    kWrongLead = 2,
    kTruncated = 3,
    kTrailingBytes = 4,
    kBadReplyVariants = 5,
};

inline constexpr std::uint8_t Op(Kind kind, std::uint8_t variant = 0) {
    return static_cast<std::uint8_t>((variant << 3) | kind);
}

// Settings values selected by the header bits.
inline constexpr float kAdjustments[] = {0.0f, 0.25f, -0.5f, 2.0f};
inline constexpr float kGains[] = {1.0f, 1.0f, 0.5f, 1.25f};
inline constexpr float kOffsets[] = {0.0f, 3.5f, 0.0f, -10.0f};
inline constexpr float kEndOffsets[] = {0.0f, 0.5f, -1.0f, 4.0f};

}  // namespace link_input
