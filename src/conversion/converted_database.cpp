// Sizing and writing the converted database from a checked Palm text document database.
#include "converted_database.hpp"

#include <algorithm>
#include <memory>

#include "byte_order.hpp"

namespace palmconv {

namespace {

// Within every system's limit on the pieces of one scattered read (at least 1024).
constexpr std::size_t max_spans_per_read = 1024;

FormatError plan(const PalmDatabase& db, ConvertedLayout& layout) {
    const std::size_t count = db.record_offsets.size();
    layout.head.assign(hdb::header_size + hdb::entry_size * count, 0);
    layout.lengths.resize(count);

    std::uint8_t* header = layout.head.data();
    std::copy(db.name.begin(), db.name.end(), header + hdb::name_offset);
    store_le16(header + hdb::magic_offset, hdb::magic);
    store_le32(header + hdb::record_count_offset, static_cast<std::uint32_t>(count));

    std::uint64_t offset = layout.head.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t length = record_extent(db, i).length;
        if (length >= hdb::record_length_limit) return FormatError::record_too_long;
        if (offset > UINT32_MAX) return FormatError::output_too_large;
        std::uint8_t* entry = header + hdb::header_size + hdb::entry_size * i;
        store_le32(entry, static_cast<std::uint32_t>(offset));
        store_le16(entry + hdb::entry_flag_offset, hdb::entry_flag);
        layout.lengths[i] = length;
        offset += encode_length_prefix(length).size + length;
    }
    if (layout.lengths[0] < hdb::document_header_fields_end) return FormatError::record0_too_short;
    layout.output_size = offset;
    layout.records_offset = db.record_offsets.front();
    return FormatError::none;
}

}  // namespace

LengthPrefix encode_length_prefix(std::uint32_t length) {
    LengthPrefix prefix;
    do {
        prefix.bytes[prefix.size++] = static_cast<std::uint8_t>((length & 0x7F) << 1);
        length >>= 7;
    } while (length != 0 && prefix.size < hdb::max_prefix_size);
    prefix.bytes[prefix.size - 1] |= 1;
    return prefix;
}

void convert_document_header(std::uint8_t* record0) {
    reverse_byte_order(record0 + 0, 2);   // compression
    reverse_byte_order(record0 + 4, 4);   // text length
    reverse_byte_order(record0 + 10, 2);  // record size
    reverse_byte_order(record0 + 8, 2);   // record count
}

FormatError prepare_conversion(ByteSource& in, ConvertedLayout& layout) {
    PalmDatabase db;
    const FormatError e = read_palm_database(in, db);
    if (e != FormatError::none) return e;
    if (!is_text_document(db)) return FormatError::not_text_document;
    return plan(db, layout);
}

std::size_t copy_block_size(const ConvertedLayout& layout, std::size_t block_size) {
    // Every page of the block costs its first touch: it is no larger than the records need.
    const std::uint64_t records_size = layout.output_size - layout.head.size();
    return static_cast<std::size_t>(std::max<std::uint64_t>(
        std::min<std::uint64_t>(block_size != 0 ? block_size : default_block_size, records_size),
        hdb::max_prefix_size + hdb::document_header_fields_end));
}

FormatError write_converted_database(const ConvertedLayout& layout, ByteSource& in, ByteSink& out,
                                     std::size_t block_size) {
    const std::size_t capacity = copy_block_size(layout, block_size);
    // Left unset: every byte of it is written before it is used.
    const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[capacity]);
    return write_converted_database(layout, in, out, MutableSpan{block.get(), capacity});
}

FormatError write_converted_database(const ConvertedLayout& layout, ByteSource& in, ByteSink& out,
                                     MutableSpan block) {
    if (!out.write(layout.head.data(), layout.head.size())) return FormatError::write_failed;

    // Record 0's document header fields are converted in a copy of their own.
    std::uint8_t record0_fields[hdb::document_header_fields_end];
    if (!read_exact(in, record0_fields, sizeof record0_fields)) return FormatError::short_read;
    convert_document_header(record0_fields);

    // The records lie back to back in the input. Each block of output is laid out in one reused
    // buffer, prefixes in their places, and the records' bytes are read straight into the gaps
    // between them in one scattered read; the block then goes out in one plain write, which the
    // system copies as fast as any file copy. No record byte is copied in memory on the way.
    const std::size_t capacity = block.size;
    std::vector<MutableSpan> gaps;
    gaps.reserve(max_spans_per_read);

    const LengthPrefix first = encode_length_prefix(layout.lengths[0]);
    std::size_t filled = first.size + sizeof record0_fields;
    std::copy(first.bytes.begin(), first.bytes.begin() + first.size, block.data);
    std::copy(record0_fields, record0_fields + sizeof record0_fields, block.data + first.size);
    std::size_t record = 0;
    std::uint32_t record_left = layout.lengths[0] - sizeof record0_fields;
    bool at_record_start = false;
    // A prefix that did not fit at the end of a block is finished at the start of the next, so
    // that every block but the last is full and each stays at the same place within a page.
    LengthPrefix prefix;
    std::size_t prefix_placed = 0;
    while (true) {
        std::size_t wanted = 0;
        while (record < layout.lengths.size() && gaps.size() < max_spans_per_read) {
            if (at_record_start) {
                prefix = encode_length_prefix(layout.lengths[record]);
                prefix_placed = 0;
                record_left = layout.lengths[record];
                at_record_start = false;
            }
            const std::size_t part = std::min<std::size_t>(prefix.size - prefix_placed,
                                                           capacity - filled);
            std::copy(prefix.bytes.begin() + static_cast<std::ptrdiff_t>(prefix_placed),
                      prefix.bytes.begin() + static_cast<std::ptrdiff_t>(prefix_placed + part),
                      block.data + filled);
            prefix_placed += part;
            filled += part;
            if (prefix_placed != prefix.size) break;  // the rest of it starts the next block
            const std::size_t take = std::min<std::size_t>(record_left, capacity - filled);
            if (take != 0) {
                gaps.push_back({block.data + filled, take});
                filled += take;
                wanted += take;
                record_left -= static_cast<std::uint32_t>(take);
            }
            if (record_left != 0) break;  // the rest of this record goes in the next block
            if (++record < layout.lengths.size()) at_record_start = true;
        }
        if (wanted != 0 && in.read_spans(gaps.data(), gaps.size()) != wanted) {
            return FormatError::short_read;
        }
        if (filled != 0 && !out.write(block.data, filled)) return FormatError::write_failed;
        if (record == layout.lengths.size()) return FormatError::none;
        gaps.clear();
        filled = 0;
    }
}

FormatError convert_database(ByteSource& in, ByteSink& out, std::size_t block_size) {
    ConvertedLayout layout;
    const FormatError e = prepare_conversion(in, layout);
    return e != FormatError::none ? e : write_converted_database(layout, in, out, block_size);
}

}  // namespace palmconv
