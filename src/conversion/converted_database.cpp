#include "converted_database.hpp"

#include <algorithm>

#include "byte_order.hpp"

namespace palmconv {

namespace {

// Large enough that a copy costs about what a plain file copy costs.
constexpr std::size_t copy_buffer_size = 256 * 1024;

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

FormatError write_converted_database(const ConvertedLayout& layout, ByteSource& in, ByteSink& out) {
    if (!out.write(layout.head.data(), layout.head.size())) return FormatError::write_failed;

    std::vector<std::uint8_t> buffer(copy_buffer_size);
    for (std::size_t i = 0; i < layout.lengths.size(); ++i) {
        // The prefix travels in the same write as the first bytes of its record.
        const LengthPrefix prefix = encode_length_prefix(layout.lengths[i]);
        std::copy(prefix.bytes.begin(), prefix.bytes.begin() + prefix.size, buffer.begin());
        std::size_t filled = prefix.size;
        std::uint32_t remaining = layout.lengths[i];
        bool first_chunk = true;
        do {
            const std::size_t chunk = std::min<std::size_t>(remaining, buffer.size() - filled);
            if (!read_exact(in, buffer.data() + filled, chunk)) return FormatError::short_read;
            if (i == 0 && first_chunk) convert_document_header(buffer.data() + filled);
            if (!out.write(buffer.data(), filled + chunk)) return FormatError::write_failed;
            remaining -= static_cast<std::uint32_t>(chunk);
            filled = 0;
            first_chunk = false;
        } while (remaining != 0);
    }
    return FormatError::none;
}

FormatError convert_database(ByteSource& in, ByteSink& out) {
    ConvertedLayout layout;
    const FormatError e = prepare_conversion(in, layout);
    return e != FormatError::none ? e : write_converted_database(layout, in, out);
}

}  // namespace palmconv
