// Writes the binary seeds of the serial-link and cache-image targets into
// <corpus>/serial_link and <corpus>/cache_image. The seeds are kept in the
// repository; run this again only after changing an input layout.
//
//   make_seeds fuzz/corpus

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/link_input.h"

namespace {

using fuzz_support::Bytes;
using namespace link_input;

constexpr std::uint8_t kHostAddr = 0x81;  // 0x01 on the wire

class LinkSeed {
public:
    LinkSeed(std::uint8_t host_addr, std::uint8_t flags, std::uint8_t more)
        : wire_(static_cast<std::uint8_t>(host_addr ^ 0x80)) {
        b_ = {host_addr, flags, more};
    }
    LinkSeed& Tick() { return Put(Op(kTick)); }
    LinkSeed& Cells(std::uint16_t base, Kind how = kGoodReply, std::uint8_t variant = 0) {
        Put(Op(how, variant));
        for (int i = 0; i < 32; ++i) Word(static_cast<std::uint16_t>(base + 7 * i));
        return *this;
    }
    LinkSeed& Value(std::uint16_t raw, Kind how = kGoodReply, std::uint8_t variant = 0) {
        Put(Op(how, variant));
        return Word(raw);
    }
    LinkSeed& Round(std::uint16_t cells, std::uint16_t group, std::uint16_t current,
                    std::uint16_t temperature) {
        return Tick().Cells(cells).Value(group).Value(current).Value(temperature);
    }
    LinkSeed& Raw(const Bytes& chunk) {
        Put(Op(kRawChunk));
        Put(static_cast<std::uint8_t>(chunk.size()));
        b_.insert(b_.end(), chunk.begin(), chunk.end());
        return *this;
    }
    LinkSeed& Put(std::uint8_t v) {
        b_.push_back(v);
        return *this;
    }
    LinkSeed& Word(std::uint16_t v) { return Put(static_cast<std::uint8_t>(v >> 8)).Put(v & 0xFF); }
    std::uint8_t wire() const { return wire_; }
    const Bytes& bytes() const { return b_; }

private:
    std::uint8_t wire_;
    Bytes b_;
};

std::array<std::uint16_t, 32> Ramp(std::uint16_t base) {
    std::array<std::uint16_t, 32> raw{};
    for (int i = 0; i < 32; ++i) raw[i] = static_cast<std::uint16_t>(base + 7 * i);
    return raw;
}

bool Write(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

Bytes Record() {
    Bytes r(152, 0);
    const std::uint32_t id = 7;
    std::memcpy(&r[0], &id, 4);
    for (int i = 0; i < 32; ++i) {
        const float v = 12.0f + 0.01f * static_cast<float>(i);
        std::memcpy(&r[4 + 4 * i], &v, 4);
    }
    const float group = 390.5f, current = 4.5f, temperature = 21.25f;
    std::memcpy(&r[132], &group, 4);
    std::memcpy(&r[136], &current, 4);
    std::memcpy(&r[141], &temperature, 4);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const std::string link = std::string(argv[1]) + "/serial_link/";
    const std::string cache = std::string(argv[1]) + "/cache_image/";
    bool ok = true;

    // Two clean rounds with the default settings.
    ok &= Write(link + "good_rounds", LinkSeed(kHostAddr, 0x00, 0x10)
                                          .Round(1100, 4100, 155, 2650)
                                          .Round(1200, 4150, 160, 2700)
                                          .bytes());
    // Reversed cells in millivolts, group voltage in 1/100 V, current sensor,
    // adjustments everywhere.
    ok &= Write(link + "good_rounds_all_settings", LinkSeed(0x05, 0xFF, 0x5B)
                                                       .Round(5000, 52000, 2600, 3100)
                                                       .Round(6000, 48000, 2400, 9999)
                                                       .bytes());
    // A round whose replies arrive as raw bytes, as a port delivers them.
    {
        LinkSeed s(kHostAddr, 0x00, 0x00);
        s.Tick()
            .Raw(module::CellReplyFrame(s.wire(), Ramp(1000)))
            .Raw(module::ValueReplyFrame(s.wire(), 3990))
            .Raw(module::ValueReplyFrame(s.wire(), 120))
            .Raw(module::ValueReplyFrame(s.wire(), 2500));
        ok &= Write(link + "raw_round", s.bytes());
    }
    // Split cell reply, value reply behind line noise, then a split value reply
    // that abandons the round, and a clean round after it.
    {
        LinkSeed s(kHostAddr, 0x01, 0x00);
        s.Tick().Cells(1050, kSplitReply).Put(40);
        s.Put(Op(kNoisyReply, 3)).Put(0x00).Put(0x11).Put(0x22).Word(4400);
        s.Value(90, kSplitReply).Put(2);
        s.Round(1300, 4500, 95, 3300);
        ok &= Write(link + "split_and_noise", s.bytes());
    }
    // Spoilt replies of every kind, silence with resends, then recovery.
    {
        LinkSeed s(kHostAddr, 0x00, 0x00);
        auto spoil_operands = [&s](std::uint8_t v) {
            if (v == kTrailingBytes) {
                s.Put(1).Put(0x10).Put(0x20);  // two bytes after the reply
            } else {
                s.Put(3);
            }
        };
        for (std::uint8_t v = 0; v < kBadReplyVariants; ++v) {
            s.Tick().Cells(1111, kBadReply, v);
            spoil_operands(v);
            s.Tick().Cells(1111).Value(4321, kBadReply, v);
            spoil_operands(v);
        }
        s.Tick().Tick().Tick().Tick().Tick();
        s.Round(1400, 4600, 100, 3500);
        ok &= Write(link + "faults_then_round", s.bytes());
    }
    // Chunks past the receive limit, null and empty chunks.
    {
        LinkSeed s(kHostAddr, 0x00, 0x00);
        s.Tick().Raw(Bytes(100, 0xED)).Tick();
        s.Put(Op(kNullChunk, 1)).Put(0).Put(Op(kEmptyChunk));
        s.Cells(1010).Put(Op(kEmptyChunk)).Value(4200).Value(1).Value(2000);
        s.Round(1020, 4210, 2, 2010);
        ok &= Write(link + "limits", s.bytes());
    }

    // Cache images: one record, then rejected attempts of every kind.
    {
        const Bytes record = Record();
        Bytes s{2};
        s.insert(s.end(), record.begin(), record.end());
        ok &= Write(cache + "one_record", s);

        Bytes t{0, 0x00, 0x00, 0x00, 0x98};  // null pointer, length 152
        t.push_back(1);
        t.push_back(151);
        t.insert(t.end(), record.begin(), record.begin() + 151);
        t.insert(t.end(), {3, 10});  // 10 bytes, length -152
        t.insert(t.end(), record.begin(), record.begin() + 10);
        t.insert(t.end(), {0xFF, 0xFF, 0xFF, 0x68});
        t.push_back(2);
        t.insert(t.end(), record.begin(), record.end());
        t.insert(t.end(), {5, 1});  // 153 bytes, length 152
        t.insert(t.end(), record.begin(), record.end());
        t.insert(t.end(), {0xAA, 0});
        ok &= Write(cache + "rejects_then_record", t);

        Bytes u{4, 152};
        u.insert(u.end(), record.begin(), record.end());
        u.insert(u.end(), {4, 153});
        u.insert(u.end(), record.begin(), record.end());
        u.push_back(0);
        ok &= Write(cache + "string_images", u);
    }

    if (!ok) {
        std::fprintf(stderr, "make_seeds: could not write the seeds under %s\n", argv[1]);
        return 1;
    }
    return 0;
}
