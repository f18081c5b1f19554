// Byte-order helpers: every multi-byte integer of either format passes through here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace palmconv {

// Reverses in place the byte order of a field of `width` bytes (2 or 4).
inline void reverse_byte_order(std::uint8_t* field, std::size_t width) {
    std::reverse(field, field + width);
}

// Reads a big-endian unsigned 16-bit value.
inline std::uint16_t load_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Reads a big-endian unsigned 32-bit value.
inline std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// Writes an unsigned 16-bit value little-endian.
inline void store_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

// Writes an unsigned 32-bit value little-endian.
inline void store_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace palmconv
