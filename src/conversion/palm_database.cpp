// Reading and checking the header and first record list of a Palm database.
#include "palm_database.hpp"

#include "byte_order.hpp"

namespace palmconv {

namespace {

// The first record list's last record ends where the next list's first record begins.
FormatError read_next_list_start(ByteSource& in, std::uint64_t list_offset, std::uint64_t file_size,
                                 std::uint32_t& record_offset) {
    // The list's own count, then its first entry: an empty list has no first record to end at.
    std::uint8_t list[pdb::list_entries_offset + pdb::entry_size];
    if (list_offset + sizeof list > file_size || !in.seek(list_offset) ||
        !read_exact(in, list, sizeof list) || load_be16(list + pdb::list_count_offset) == 0) {
        return FormatError::bad_next_list;
    }
    record_offset = load_be32(list + pdb::list_entries_offset);
    return FormatError::none;
}

}  // namespace

FormatError read_palm_database(ByteSource& in, PalmDatabase& db) {
    std::uint64_t file_size = 0;
    if (!in.size(file_size) || !in.seek(0)) return FormatError::short_read;
    if (file_size < pdb::header_size) return FormatError::truncated_header;
    // Every offset in the database is 32-bit: a larger file cannot be a whole database.
    if (file_size > UINT32_MAX) return FormatError::file_too_large;

    std::uint8_t header[pdb::header_size];
    if (!read_exact(in, header, sizeof header)) return FormatError::short_read;
    std::copy(header, header + pdb::name_size, db.name.begin());
    db.type = load_be32(header + pdb::type_offset);
    db.creator = load_be32(header + pdb::creator_offset);
    db.next_record_list = load_be32(header + pdb::next_list_offset);
    const std::size_t count = load_be16(header + pdb::record_count_offset);

    if (count == 0) return FormatError::no_records;
    const std::uint64_t list_end = pdb::header_size + pdb::entry_size * count;
    if (file_size < list_end) return FormatError::truncated_record_list;

    std::vector<std::uint8_t> entries(pdb::entry_size * count);
    if (!read_exact(in, entries.data(), entries.size())) return FormatError::short_read;
    db.record_offsets.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t offset = load_be32(&entries[i * pdb::entry_size]);
        if (offset < list_end) return FormatError::record_before_list;
        if (i > 0 && offset < db.record_offsets[i - 1]) return FormatError::records_out_of_order;
        db.record_offsets[i] = offset;
    }

    // Records end at the end of the file unless another list follows.
    db.end_of_data = static_cast<std::uint32_t>(file_size);
    if (db.next_record_list != 0) {
        std::uint32_t next_start = 0;
        const FormatError e = read_next_list_start(in, db.next_record_list, file_size, next_start);
        if (e != FormatError::none) return e;
        if (next_start < db.record_offsets.back() || next_start > file_size) {
            return FormatError::bad_next_list;
        }
        db.end_of_data = next_start;
    }
    if (db.record_offsets.back() > db.end_of_data) return FormatError::record_past_end;

    if (!in.seek(db.record_offsets.front())) return FormatError::short_read;
    return FormatError::none;
}

bool is_text_document(const PalmDatabase& db) {
    return db.type == pdb::text_type && db.creator == pdb::text_creator;
}

Extent record_extent(const PalmDatabase& db, std::size_t i) {
    const std::uint32_t offset = db.record_offsets[i];
    const std::uint32_t end =
        i + 1 < db.record_offsets.size() ? db.record_offsets[i + 1] : db.end_of_data;
    return {offset, end - offset};
}

}  // namespace palmconv
