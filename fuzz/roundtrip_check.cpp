// The independent model of a conversion the fuzzer checks every accepted input against.
#include "roundtrip_check.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace palmconv::fuzzing {

namespace {

// Deliberately written without the converter's helpers, so that a shared mistake cannot hide.
std::uint64_t be(const std::uint8_t* p, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | p[i];
    return v;
}

std::uint64_t le(const std::vector<std::uint8_t>& b, std::size_t at, int width) {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
    return v;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "conversion check failed: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

}  // namespace

std::optional<std::vector<Record>> expected_records(const std::uint8_t* in, std::size_t size) {
    if (size < 78 || size > 0xFFFFFFFFu) return std::nullopt;
    if (std::memcmp(in + 60, "TEXt", 4) != 0 || std::memcmp(in + 64, "REAd", 4) != 0) {
        return std::nullopt;
    }
    const std::uint64_t next_list = be(in + 72, 4);
    const std::uint64_t count = be(in + 76, 2);
    const std::uint64_t list_end = 78 + 8 * count;
    if (count == 0 || size < list_end) return std::nullopt;
    std::vector<std::uint64_t> bounds;
    for (std::uint64_t i = 0; i < count; ++i) bounds.push_back(be(in + 78 + 8 * i, 4));
    std::uint64_t end = size;
    if (next_list != 0) {
        if (next_list + 14 > size || be(in + next_list + 4, 2) == 0) return std::nullopt;
        end = be(in + next_list + 6, 4);
        if (end > size || end < bounds.back()) return std::nullopt;
    }
    bounds.push_back(end);
    if (bounds[0] < list_end) return std::nullopt;
    std::vector<Record> records;
    std::uint64_t output_offset = 92 + 16 * count;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (bounds[i + 1] < bounds[i]) return std::nullopt;
        const std::uint64_t length = bounds[i + 1] - bounds[i];
        if (length >= (1u << 28) || output_offset > 0xFFFFFFFFu) return std::nullopt;
        records.push_back(
            {static_cast<std::uint32_t>(bounds[i]), static_cast<std::uint32_t>(length)});
        output_offset += length + (length < (1u << 7)    ? 1
                                   : length < (1u << 14) ? 2
                                   : length < (1u << 21) ? 3
                                                         : 4);
    }
    if (records[0].length < 12) return std::nullopt;
    return records;
}

void check_conversion(const std::uint8_t* in, std::size_t, const std::vector<Record>& records,
                      const std::vector<std::uint8_t>& out) {
    const std::size_t count = records.size();
    require(out.size() >= 92 + 16 * count, "output shorter than header and entry table");
    require(std::memcmp(out.data(), in, 32) == 0, "name field not copied whole");
    for (std::size_t i = 32; i < 92; ++i) {
        const std::uint8_t want = i == 64   ? 0x38
                                  : i == 65 ? 0x89
                                  : i == 88 ? (count & 0xFF)
                                  : i == 89 ? (count >> 8)
                                            : 0;
        require(out[i] == want, "header byte wrong");
    }
    std::size_t position = 92 + 16 * count;
    for (std::size_t r = 0; r < count; ++r) {
        const std::size_t entry = 92 + 16 * r;
        require(le(out, entry, 4) == position, "entry offset does not point at its stored record");
        require(le(out, entry + 4, 8) == 0 && le(out, entry + 12, 2) == 1 &&
                    le(out, entry + 14, 2) == 0,
                "entry fields wrong");
        std::uint64_t length = 0;
        for (int k = 0;; ++k) {
            require(k < 4, "length prefix longer than four bytes");
            const std::uint8_t b = out.at(position++);
            length |= static_cast<std::uint64_t>(b >> 1) << (7 * k);
            if (b & 1) break;
        }
        require(length == records[r].length, "length prefix differs from the record length");
        require(position + length <= out.size(), "stored record runs past the end");
        std::vector<std::uint8_t> body(out.begin() + position, out.begin() + position + length);
        if (r == 0) {
            // Turn the converted document header fields back to their stored order.
            std::swap(body[0], body[1]);
            std::swap(body[4], body[7]);
            std::swap(body[5], body[6]);
            std::swap(body[8], body[9]);
            std::swap(body[10], body[11]);
        }
        require(length == 0 || std::memcmp(body.data(), in + records[r].offset, length) == 0,
                "record bytes differ from the input");
        position += length;
    }
    require(position == out.size(), "bytes after the last stored record");
}

}  // namespace palmconv::fuzzing
