// The converted database: sizing, building and writing it from a Palm text document database.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_stream.hpp"
#include "format_error.hpp"
#include "palm_database.hpp"

namespace palmconv {

namespace hdb {
constexpr std::size_t header_size = 92;
constexpr std::size_t name_offset = 0;
constexpr std::size_t magic_offset = 64;
constexpr std::uint16_t magic = 0x8938;
constexpr std::size_t record_count_offset = 88;
constexpr std::size_t entry_size = 16;
constexpr std::size_t entry_flag_offset = 12;
constexpr std::uint16_t entry_flag = 1;
constexpr std::size_t max_prefix_size = 4;
constexpr std::uint32_t record_length_limit = 1u << 28;  // lengths must stay below this
// Record 0 starts with the text document header; its last converted field ends at byte 12.
constexpr std::size_t document_header_fields_end = 12;
}  // namespace hdb

// A record length in its stored form: 7-bit groups, least significant first, last byte marked.
struct LengthPrefix {
    std::array<std::uint8_t, hdb::max_prefix_size> bytes{};
    std::size_t size = 0;
};

// Encodes a record length below hdb::record_length_limit.
LengthPrefix encode_length_prefix(std::uint32_t length);

// Turns the big-endian fields of a text document header (its first 12 bytes) little-endian.
void convert_document_header(std::uint8_t* record0);

// Everything about the output that is known before the records are copied.
struct ConvertedLayout {
    std::vector<std::uint8_t> head;      // the header and the entry table, ready to write
    std::vector<std::uint32_t> lengths;  // each record's length, in order
    std::uint64_t output_size = 0;       // the size of the whole converted database
    std::uint64_t records_offset = 0;    // where record 0 starts in the input
};

// Reads and checks a text document database and sizes its conversion; `in` is left at record 0.
FormatError prepare_conversion(ByteSource& in, ConvertedLayout& layout);

// The output written at a time: large enough that a conversion costs what a plain file copy
// costs, small enough to stay in the processor's caches (chosen by measurement).
constexpr std::size_t default_block_size = 1024 * 1024;

// The size of the block the records are copied through, for `block_size` (0: the default above):
// never larger than the records need, never too small to hold a prefix and record 0's fields.
std::size_t copy_block_size(const ConvertedLayout& layout, std::size_t block_size = 0);

// Copies the records from `in` (at record 0) to `out` behind the header and entry table of a
// layout made by prepare_conversion, through `block`, which must hold copy_block_size() bytes.
FormatError write_converted_database(const ConvertedLayout& layout, ByteSource& in, ByteSink& out,
                                     MutableSpan block);

// The same, through a block of copy_block_size(layout, block_size) bytes of its own.
FormatError write_converted_database(const ConvertedLayout& layout, ByteSource& in, ByteSink& out,
                                     std::size_t block_size = 0);

// Converts a whole database from `in` to `out`.
FormatError convert_database(ByteSource& in, ByteSink& out, std::size_t block_size = 0);

}  // namespace palmconv
