#include "converted_database.hpp"

#include <algorithm>

#include "byte_order.hpp"

namespace palmconv {

namespace {

// Within every system's limit on the pieces of one gathered write (at least 1024).
constexpr std::size_t max_spans_per_write = 1024;

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

FormatError write_converted_database(const ConvertedLayout& layout, ByteSource& in, ByteSink& out,
                                     std::size_t block_size) {
    if (!out.write(layout.head.data(), layout.head.size())) return FormatError::write_failed;

    // Record 0's document header fields are converted in a copy of their own, read like any other
    // input: the rest of the input is never changed, and where it is lent in place, never read.
    std::uint8_t record0_fields[hdb::document_header_fields_end];
    if (!read_exact(in, record0_fields, sizeof record0_fields)) return FormatError::short_read;
    convert_document_header(record0_fields);

    // The rest of the records lie back to back in the input. They go out as spans of the input,
    // lent in place in large windows where the source can, or else read in large blocks, with
    // each record's prefix between them: no record byte is copied in memory on the way.
    std::uint64_t position = layout.records_offset + sizeof record0_fields;
    std::uint64_t unread = 0;
    for (std::uint32_t length : layout.lengths) unread += length;
    unread -= sizeof record0_fields;
    const std::size_t window = block_size != 0 ? block_size : default_map_window;
    enum class Copy { undecided, lent, read } copy = Copy::undecided;
    std::vector<std::uint8_t> block;
    auto next_chunk = [&](const std::uint8_t*& data, std::size_t& size) {
        if (copy != Copy::read) {
            size = static_cast<std::size_t>(std::min<std::uint64_t>(window, unread));
            data = in.map(position, size);
            if (data != nullptr) {
                copy = Copy::lent;
                position += size;
                unread -= size;
                return true;
            }
            if (copy == Copy::lent) return false;
            copy = Copy::read;
            block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(
                block_size != 0 ? block_size : default_copy_block_size, unread)));
        }
        size = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), unread));
        data = block.data();
        unread -= size;
        return read_exact(in, block.data(), size);
    };

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

    prefixes.push_back(encode_length_prefix(layout.lengths[0]));
    spans.push_back({prefixes.back().bytes.data(), prefixes.back().size});
    spans.push_back({record0_fields, sizeof record0_fields});
    std::size_t record = 0;
    std::uint32_t record_left = layout.lengths[0] - sizeof record0_fields;
    bool at_record_start = false;
    while (true) {
        const std::uint8_t* data = nullptr;
        std::size_t filled = 0;
        if (unread != 0 && !next_chunk(data, filled)) return FormatError::short_read;

        std::size_t offset = 0;
        while (record < layout.lengths.size()) {
            if (spans.size() + 2 > max_spans_per_write && !flush()) {
                return FormatError::write_failed;
            }
            if (at_record_start) {
                prefixes.push_back(encode_length_prefix(layout.lengths[record]));
                spans.push_back({prefixes.back().bytes.data(), prefixes.back().size});
                at_record_start = false;
            }
            const std::size_t take = std::min<std::size_t>(record_left, filled - offset);
            if (take != 0) spans.push_back({data + offset, take});
            offset += take;
            record_left -= static_cast<std::uint32_t>(take);
            if (record_left != 0) break;  // the rest of this record is in the next chunk
            if (++record < layout.lengths.size()) {
                record_left = layout.lengths[record];
                at_record_start = true;
            }
        }
        // The spans point into the chunk, which the next one replaces.
        if (!flush()) return FormatError::write_failed;
        if (record == layout.lengths.size()) return FormatError::none;
        if (unread == 0) return FormatError::short_read;
    }
}

FormatError convert_database(ByteSource& in, ByteSink& out, std::size_t block_size) {
    ConvertedLayout layout;
    const FormatError e = prepare_conversion(in, layout);
    return e != FormatError::none ? e : write_converted_database(layout, in, out, block_size);
}

}  // namespace palmconv
