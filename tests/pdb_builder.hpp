// Builds Palm databases for tests from a short description.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "format_error.hpp"

namespace palmconv {
// Lets test failures name the error by its number rather than its bytes.
inline void PrintTo(FormatError e, std::ostream* os) {
    *os << "FormatError(" << static_cast<int>(e) << ")";
}
}  // namespace palmconv

namespace palmconv::testing {

struct PdbDescription {
    std::string name = "Story";
    std::string type = "TEXt";
    std::string creator = "REAd";
    std::vector<std::uint32_t> record_offsets;
    std::uint32_t next_list = 0;
    std::size_t file_size = 0;  // 0: header and list only; bytes after the list are a pattern
};

// The pattern byte at file offset `i`.
inline std::uint8_t pattern_at(std::size_t i) { return static_cast<std::uint8_t>(i * 7 + 3); }

inline void put_be(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v, int width) {
    for (int k = 0; k < width; ++k)
        b[at + k] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - k)));
}

// The database bytes; the header and list overwrite the pattern where they lie.
inline std::vector<std::uint8_t> build_pdb(const PdbDescription& d) {
    std::vector<std::uint8_t> b(d.file_size);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = pattern_at(i);
    const std::size_t list_end = 78 + 8 * d.record_offsets.size();
    if (b.size() < list_end) b.resize(list_end);
    std::fill(b.begin(), b.begin() + list_end, 0);
    std::copy(d.name.begin(), d.name.end(), b.begin());
    std::copy(d.type.begin(), d.type.end(), b.begin() + 60);
    std::copy(d.creator.begin(), d.creator.end(), b.begin() + 64);
    put_be(b, 72, d.next_list, 4);
    put_be(b, 76, static_cast<std::uint32_t>(d.record_offsets.size()), 2);
    for (std::size_t i = 0; i < d.record_offsets.size(); ++i) {
        put_be(b, 78 + 8 * i, d.record_offsets[i], 4);
        b[78 + 8 * i + 4] = 0x40;  // attributes
        put_be(b, 78 + 8 * i + 5, 0x1234 + static_cast<std::uint32_t>(i),
               3);  // unique ID, never copied
    }
    if (d.file_size != 0) b.resize(d.file_size);  // a size below the list cuts the list short
    return b;
}

}  // namespace palmconv::testing
