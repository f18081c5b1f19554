#include "converted_database.hpp"

#include <algorithm>

#include "byte_order.hpp"

namespace palmconv {

namespace {

// Below every system's limit on the pieces of one gathered write (at least 1024).
constexpr std::size_t max_spans_per_write = 512;

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

FormatError write_converted_database(const ConvertedLayout& layout, ByteSource& in, ByteSink& out,
                                     std::size_t block_size) {
    if (!out.write(layout.head.data(), layout.head.size())) return FormatError::write_failed;

    // Records lie back to back in the input, so the input is read in large blocks and written
    // out as spans of those blocks with each record's prefix between them: no byte is copied
    // in memory on the way.
    std::uint64_t unread = 0;
    for (std::uint32_t length : layout.lengths) unread += length;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max(block_size, hdb::document_header_fields_end), unread)));
    std::vector<LengthPrefix> prefixes;
    std::vector<ByteSpan> spans;
    prefixes.reserve(max_spans_per_write);  // spans point into it: it must never reallocate
    spans.reserve(max_spans_per_write);
    auto flush = [&] {
        const bool ok = out.write_spans(spans.data(), spans.size());
        spans.clear();
        prefixes.clear();
        return ok;
    };

    std::size_t record = 0;
    std::uint32_t record_left = layout.lengths[0];
    bool at_record_start = true;
    bool first_block = true;
    while (record < layout.lengths.size()) {
        const std::size_t filled =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), unread));
        if (!read_exact(in, block.data(), filled)) return FormatError::short_read;
        unread -= filled;
        // Record 0 opens the first block, and holds at least the fields converted.
        if (first_block) convert_document_header(block.data());
        first_block = false;

        std::size_t position = 0;
        while (record < layout.lengths.size()) {
            if (spans.size() + 2 > max_spans_per_write && !flush())
                return FormatError::write_failed;
            if (at_record_start) {
                prefixes.push_back(encode_length_prefix(layout.lengths[record]));
                spans.push_back({prefixes.back().bytes.data(), prefixes.back().size});
                at_record_start = false;
            }
            const std::size_t take = std::min<std::size_t>(record_left, filled - position);
            if (take != 0) spans.push_back({block.data() + position, take});
            position += take;
            record_left -= static_cast<std::uint32_t>(take);
            if (record_left != 0) break;  // the rest of this record is in the next block
            if (++record < layout.lengths.size()) {
                record_left = layout.lengths[record];
                at_record_start = true;
            }
        }
        // The spans point into the block, which the next read overwrites.
        if (!flush()) return FormatError::write_failed;
    }
    return FormatError::none;
}

FormatError convert_database(ByteSource& in, ByteSink& out, std::size_t block_size) {
    ConvertedLayout layout;
    const FormatError e = prepare_conversion(in, layout);
    return e != FormatError::none ? e : write_converted_database(layout, in, out, block_size);
}

}  // namespace palmconv
