// Reading the header and first record list of a Palm database.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_stream.hpp"
#include "format_error.hpp"

namespace palmconv {

namespace pdb {
constexpr std::size_t header_size = 78;
constexpr std::size_t name_size = 32;
constexpr std::size_t type_offset = 60;
constexpr std::size_t creator_offset = 64;
constexpr std::size_t next_list_offset = 72;
constexpr std::size_t record_count_offset = 76;
constexpr std::size_t entry_size = 8;
// A further record list starts with a 4-byte next-list offset and a 2-byte count.
constexpr std::size_t list_count_offset = 4;
constexpr std::size_t list_entries_offset = 6;
constexpr std::uint32_t text_type = 0x54455874;     // "TEXt"
constexpr std::uint32_t text_creator = 0x52454164;  // "REAd"
}  // namespace pdb

// What the converter needs of a Palm database, integers in host order.
struct PalmDatabase {
    std::array<std::uint8_t, pdb::name_size> name{};  // the name field as stored, all 32 bytes
    std::uint32_t type = 0;
    std::uint32_t creator = 0;
    std::uint32_t next_record_list = 0;
    std::vector<std::uint32_t> record_offsets;  // from the first record list, non-decreasing
    std::uint32_t end_of_data = 0;              // where the last record of the first list ends
};

// Where one record lies in the input.
struct Extent {
    std::uint32_t offset;
    std::uint32_t length;
};

// Reads and checks the header and first record list; on success leaves `in` at the first record.
FormatError read_palm_database(ByteSource& in, PalmDatabase& db);

// True when the database is a text document (type "TEXt", creator "REAd").
bool is_text_document(const PalmDatabase& db);

// The offset and length of record `i` of a database accepted by read_palm_database.
Extent record_extent(const PalmDatabase& db, std::size_t i);

}  // namespace palmconv
