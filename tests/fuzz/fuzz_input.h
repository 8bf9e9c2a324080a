// Reads a fuzz input from the front, one small decision at a time. Past the end every read gives
// 0, so any input decodes, and a short input picks the first choice everywhere. The seeds under
// corpus/ follow the same byte-by-byte reading order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace tb::fuzz {

class Input {
  public:
    explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t byte() { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }
    // A choice among n (n > 0).
    std::size_t pick(std::size_t n) { return byte() % n; }
    bool flag() { return (byte() & 1) != 0; }
    // Little-endian, one byte after the other.
    template <typename T>
    T little_endian() {
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value = static_cast<T>(value | static_cast<T>(T{byte()} << (8 * i)));
        return value;
    }
    std::uint16_t u16() { return little_endian<std::uint16_t>(); }
    std::uint32_t u32() { return little_endian<std::uint32_t>(); }
    std::uint64_t u64() { return little_endian<std::uint64_t>(); }
    template <typename T, std::size_t N>
    const T& from(const T (&table)[N]) {
        return table[pick(N)];
    }

    // A short text: a length byte, then one byte per character; 0xFF introduces a raw 16-bit
    // unit (unpaired surrogates included).
    std::u16string text(std::size_t max_length = 24) {
        const std::size_t length = pick(max_length + 1);
        std::u16string out;
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint8_t c = byte();
            out += c == 0xFF ? static_cast<char16_t>(u16()) : static_cast<char16_t>(c);
        }
        return out;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

// Ends the run with a message; libFuzzer keeps the input that got here.
[[noreturn]] inline void violated(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace tb::fuzz
