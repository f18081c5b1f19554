// Unit tests of sizing and writing the converted database.
#include "converted_database.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "pdb_builder.hpp"

namespace palmconv {
namespace {

using testing::build_pdb;
using testing::PdbDescription;
using Bytes = std::vector<std::uint8_t>;

Bytes convert(const Bytes& input, FormatError expected = FormatError::none) {
    MemorySource in(input);
    VectorSink out;
    EXPECT_EQ(convert_database(in, out), expected);
    return out.bytes;
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

PdbDescription records_at(std::vector<std::uint32_t> offsets, std::size_t file_size) {
    PdbDescription d;
    d.record_offsets = std::move(offsets);
    d.file_size = file_size;
    return d;
}

TEST(LengthPrefix, EncodesSevenBitGroupsLeastSignificantFirst) {
    const struct {
        std::uint32_t length;
        Bytes prefix;
    } table[] = {
        {0, {0x01}},
        {16, {0x21}},
        {100, {0xC9}},
        {127, {0xFF}},
        {128, {0x00, 0x03}},
        {300, {0x58, 0x05}},
        {16383, {0xFE, 0xFF}},
        {16384, {0x00, 0x00, 0x03}},
        {20000, {0x40, 0x38, 0x03}},
        {(1u << 21) - 1, {0xFE, 0xFE, 0xFF}},
        {1u << 21, {0x00, 0x00, 0x00, 0x03}},
        {(1u << 28) - 1, {0xFE, 0xFE, 0xFE, 0xFF}},
    };
    for (const auto& row : table) {
        const LengthPrefix p = encode_length_prefix(row.length);
        EXPECT_EQ(Bytes(p.bytes.begin(), p.bytes.begin() + p.size), row.prefix) << row.length;
    }
}

TEST(ConvertedDatabase, WorkedExampleByteForByte) {
    auto input = build_pdb(records_at({104, 120, 620}, 1000));
    const Bytes doc_header = {0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x13, 0x88,
                              0x00, 0x02, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::copy(doc_header.begin(), doc_header.end(), input.begin() + 104);

    Bytes expected(92 + 3 * 16, 0);
    std::copy(input.begin(), input.begin() + 32, expected.begin());
    expected[64] = 0x38;
    expected[65] = 0x89;
    expected[88] = 3;
    const std::uint32_t offsets[] = {140, 157, 659};
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 4; ++k)
            expected[92 + 16 * i + k] = static_cast<std::uint8_t>(offsets[i] >> (8 * k));
        expected[92 + 16 * i + 12] = 1;
    }
    const Bytes record0 = {0x21, 0x02, 0x00, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00,
                           0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), record0.begin(), record0.end());
    expected.insert(expected.end(), {0xE8, 0x07});
    expected.insert(expected.end(), input.begin() + 120, input.begin() + 620);
    expected.insert(expected.end(), {0xF8, 0x05});
    expected.insert(expected.end(), input.begin() + 620, input.end());

    const Bytes output = convert(input);
    EXPECT_EQ(output.size(), 1041u);
    EXPECT_EQ(output, expected);
}

TEST(ConvertedDatabase, EdgeLengthsGetTheirPrefixesAndOffsets) {
    // Records: 16, 0 (same offset twice), 127, 128, 20000 bytes.
    const std::uint32_t base = 78 + 8 * 5;
    auto input = build_pdb(
        records_at({base, base + 16, base + 16, base + 143, base + 271}, base + 271 + 20000));
    const Bytes output = convert(input);
    const struct {
        std::uint32_t offset;
        Bytes prefix;
        std::uint32_t length;
        std::uint32_t input_offset;
    } stored[] = {
        {92 + 80, {0x21}, 16, base},
        {92 + 80 + 17, {0x01}, 0, base + 16},
        {92 + 80 + 18, {0xFF}, 127, base + 16},
        {92 + 80 + 146, {0x00, 0x03}, 128, base + 143},
        {92 + 80 + 276, {0x40, 0x38, 0x03}, 20000, base + 271},
    };
    ASSERT_EQ(output.size(), 92 + 80 + 276 + 3 + 20000u);
    for (std::size_t i = 0; i < 5; ++i) {
        const auto& s = stored[i];
        EXPECT_EQ(le32(output, 92 + 16 * i), s.offset) << i;
        EXPECT_TRUE(std::equal(s.prefix.begin(), s.prefix.end(), output.begin() + s.offset)) << i;
        if (i == 0) continue;  // record 0's fields are converted; checked elsewhere
        const auto body = output.begin() + s.offset + s.prefix.size();
        EXPECT_TRUE(std::equal(body, body + s.length, input.begin() + s.input_offset)) << i;
    }
}

// A memory source to build sources that read in their own ways on.
class OverMemory : public ByteSource {
  public:
    explicit OverMemory(const Bytes& bytes) : memory_(bytes) {}
    bool size(std::uint64_t& out) override { return memory_.size(out); }
    bool seek(std::uint64_t offset) override { return memory_.seek(offset); }
    std::size_t read(std::uint8_t* buf, std::size_t n) override { return memory_.read(buf, n); }

  protected:
    MemorySource memory_;
};

// Reads like a memory source, counting the pieces of each scattered read.
class CountingSource final : public OverMemory {
  public:
    using OverMemory::OverMemory;
    std::size_t read_spans(const MutableSpan* spans, std::size_t count) override {
        most_pieces = std::max(most_pieces, count);
        return memory_.read_spans(spans, count);
    }
    std::size_t most_pieces = 0;
};

TEST(ConvertedDatabase, RecordsCrossingCopyBlocksAndManySmallRecords) {
    // Records of odd sizes up to several MiB cross the copy blocks, and thousands of tiny ones
    // fill more pieces than one scattered read may take.
    std::vector<std::uint32_t> lengths = {16, 3 * 1024 * 1024 + 7, 0, 1, 1048575, 1048577};
    for (int i = 0; i < 3000; ++i) lengths.push_back(i % 5);
    lengths.push_back(2 * 1024 * 1024 - 3);
    std::vector<std::uint32_t> offsets;
    std::uint32_t at = 78 + 8 * static_cast<std::uint32_t>(lengths.size());
    for (std::uint32_t length : lengths) {
        offsets.push_back(at);
        at += length;
    }
    const auto input = build_pdb(records_at(offsets, at));
    VectorSink out;
    VectorSink expected_tail;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const LengthPrefix p = encode_length_prefix(lengths[i]);
        Bytes stored(p.bytes.begin(), p.bytes.begin() + p.size);
        stored.insert(stored.end(), input.begin() + offsets[i],
                      input.begin() + offsets[i] + lengths[i]);
        if (i == 0) convert_document_header(stored.data() + p.size);
        expected_tail.write(stored.data(), stored.size());
    }
    CountingSource in(input);
    ASSERT_EQ(convert_database(in, out), FormatError::none);
    EXPECT_LE(in.most_pieces, 1024u);
    const std::size_t head = 92 + 16 * lengths.size();
    ASSERT_EQ(out.bytes.size(), head + expected_tail.bytes.size());
    EXPECT_TRUE(std::equal(expected_tail.bytes.begin(), expected_tail.bytes.end(),
                           out.bytes.begin() + head));
}

TEST(ConvertedDatabase, OutputDoesNotDependOnTheCopyBlockSize) {
    const std::uint32_t base = 78 + 8 * 6;
    const auto input = build_pdb(
        records_at({base, base + 16, base + 16, base + 17, base + 300, base + 5000}, base + 9000));
    const Bytes reference = convert(input);
    // Blocks smaller than a prefix and record 0's fields, and edges at every place in a record.
    for (std::size_t block : {0, 1, 4, 12, 13, 15, 16, 17, 18, 100, 4096, 4099}) {
        MemorySource in(input);
        VectorSink out;
        ASSERT_EQ(convert_database(in, out, block), FormatError::none) << block;
        EXPECT_EQ(out.bytes, reference) << block;
    }
    // A record 0 of exactly the converted fields and nothing more.
    const auto twelve = build_pdb(records_at({base, base + 12, base + 12}, base + 20));
    MemorySource in(twelve);
    VectorSink out;
    ASSERT_EQ(convert_database(in, out, 5), FormatError::none);
    EXPECT_EQ(out.bytes, convert(twelve));
}

// Reads whole blocks at first, then comes up short, as a file shortened meanwhile would.
class ShrinkingSource final : public OverMemory {
  public:
    using OverMemory::OverMemory;
    std::size_t read_spans(const MutableSpan* spans, std::size_t count) override {
        if (++reads_ <= 2) return memory_.read_spans(spans, count);
        return count == 0 ? 0 : memory_.read(spans[0].data, spans[0].size / 2);
    }

  private:
    int reads_ = 0;
};

TEST(ConvertedDatabase, InputThatComesUpShortPartWayIsAShortRead) {
    const std::uint32_t base = 78 + 8 * 3;
    const auto input = build_pdb(records_at({base, base + 16, base + 500}, base + 1000));
    ShrinkingSource in(input);
    VectorSink out;
    EXPECT_EQ(convert_database(in, out, 100), FormatError::short_read);
}

TEST(ConvertedDatabase, OneRecordDatabaseAndSkippedApplicationInfo) {
    // 20 bytes of application info sit between the list and the only record.
    auto input = build_pdb(records_at({86 + 20}, 86 + 20 + 40));
    const Bytes output = convert(input);
    EXPECT_EQ(le32(output, 88), 1u);
    EXPECT_EQ(le32(output, 92), 108u);
    ASSERT_EQ(output.size(), 108u + 1 + 40);
    EXPECT_EQ(output[108], 40 << 1 | 1);
    EXPECT_TRUE(std::equal(output.begin() + 109 + 12, output.end(), input.begin() + 106 + 12));
}

TEST(ConvertedDatabase, LongRecordZeroIsConvertedBehindItsLongerPrefix) {
    auto input = build_pdb(records_at({86}, 86 + 300));
    const Bytes output = convert(input);
    ASSERT_EQ(output[108], 0x58);
    ASSERT_EQ(output[109], 0x05);
    Bytes expected(input.begin() + 86, input.end());
    std::swap(expected[0], expected[1]);
    std::reverse(expected.begin() + 4, expected.begin() + 8);
    std::swap(expected[8], expected[9]);
    std::swap(expected[10], expected[11]);
    EXPECT_EQ(Bytes(output.begin() + 110, output.end()), expected);
}

TEST(ConvertedDatabase, RefusesBrokenDatabases) {
    const auto valid = records_at({104, 120, 620}, 1000);
    auto with = [&](auto change) {
        auto d = valid;
        change(d);
        return build_pdb(d);
    };
    const struct {
        const char* what;
        Bytes input;
        FormatError error;
    } cases[] = {
        {"empty file", {}, FormatError::truncated_header},
        {"77 bytes", Bytes(77, 0), FormatError::truncated_header},
        {"other creator", with([](auto& d) { d.creator = "READ"; }),
         FormatError::not_text_document},
        {"no records", with([](auto& d) { d.record_offsets.clear(); }), FormatError::no_records},
        {"list cut short", with([](auto& d) { d.file_size = 90; }),
         FormatError::truncated_record_list},
        {"record inside the list", with([](auto& d) { d.record_offsets[0] = 101; }),
         FormatError::record_before_list},
        {"offsets decrease", with([](auto& d) {
             d.record_offsets = {104, 620, 120};
         }),
         FormatError::records_out_of_order},
        {"record past the end", with([](auto& d) { d.record_offsets[2] = 1001; }),
         FormatError::record_past_end},
        {"next list past the end", with([](auto& d) { d.next_list = 990; }),
         FormatError::bad_next_list},
        {"record 0 of 11 bytes", with([](auto& d) {
             d.record_offsets = {104, 115, 620};
         }),
         FormatError::record0_too_short},
    };
    for (const auto& c : cases) {
        MemorySource in(c.input);
        VectorSink out;
        EXPECT_EQ(convert_database(in, out), c.error) << c.what;
        EXPECT_TRUE(out.bytes.empty()) << c.what;
    }
}

TEST(ConvertedDatabase, RefusesNextListsThatAreEmptyOrPointBackwardsOrPastTheFile) {
    const struct {
        std::uint32_t count;
        std::uint32_t first_offset;
    } cases[] = {{1, 619}, {1, 1001}, {1, 0xFFFFFFFF}, {0, 900}};
    for (const auto& c : cases) {
        auto d = records_at({104, 120, 620}, 1000);
        d.next_list = 980;
        auto input = build_pdb(d);
        testing::put_be(input, 984, c.count, 2);
        testing::put_be(input, 986, c.first_offset, 4);
        convert(input, FormatError::bad_next_list);
    }
}

// Claims a size it does not hold: bytes past `data` read as zeros, up to `cut`.
class SparseSource final : public ByteSource {
  public:
    SparseSource(Bytes data, std::uint64_t size, std::uint64_t cut)
        : data_(std::move(data)), size_(size), cut_(cut) {}
    bool size(std::uint64_t& out) override {
        out = size_;
        return true;
    }
    bool seek(std::uint64_t offset) override {
        position_ = offset;
        return true;
    }
    std::size_t read(std::uint8_t* buf, std::size_t n) override {
        const std::uint64_t end = std::min<std::uint64_t>(position_ + n, std::min(size_, cut_));
        const std::size_t count = end > position_ ? static_cast<std::size_t>(end - position_) : 0;
        for (std::size_t i = 0; i < count; ++i) {
            buf[i] = position_ + i < data_.size() ? data_[position_ + i] : 0;
        }
        position_ += count;
        return count;
    }

  private:
    Bytes data_;
    std::uint64_t size_, cut_, position_ = 0;
};

TEST(ConvertedDatabase, RefusesWhatTheFormatCannotCarry) {
    const std::uint32_t limit = 1u << 28;
    const struct {
        const char* what;
        std::vector<std::uint32_t> offsets;
        std::uint64_t size;
        FormatError error;
    } cases[] = {
        {"record of 2^28 bytes",
         {94, 94 + 16},
         94 + 16 + std::uint64_t{limit},
         FormatError::record_too_long},
        {"record just below 2^28",
         {94, 94 + 16},
         94 + 16 + std::uint64_t{limit} - 1,
         FormatError::none},
        {"file over 4 GiB", {86}, std::uint64_t{1} << 32, FormatError::file_too_large},
    };
    for (const auto& c : cases) {
        SparseSource in(build_pdb(records_at(c.offsets, 0)), c.size, c.size);
        ConvertedLayout layout;
        EXPECT_EQ(prepare_conversion(in, layout), c.error) << c.what;
    }

    // A thousand records whose last one starts just below 4 GiB in the input: the entry table
    // and the prefixes push its stored record past any 32-bit offset.
    const std::uint32_t count = 1000, list_end = 78 + 8 * count, last = 0xFFFFFF00u;
    std::vector<std::uint32_t> offsets(count, list_end + 16);
    offsets[0] = list_end;
    const std::uint32_t step = (last - (list_end + 16)) / 16;
    for (std::uint32_t k = 0; k <= 16; ++k) offsets[count - 17 + k] = last - (16 - k) * step;
    ASSERT_LT(step, limit);
    SparseSource in(build_pdb(records_at(offsets, 0)), last + 100u, last + 100u);
    ConvertedLayout layout;
    EXPECT_EQ(prepare_conversion(in, layout), FormatError::output_too_large);
}

TEST(ConvertedDatabase, ReportsShortReadsAndRefusedWrites) {
    const auto input = build_pdb(records_at({104, 120, 620}, 1000));
    {
        SparseSource in(input, 1000, 700);  // the file shrinks after its size was taken
        VectorSink out;
        EXPECT_EQ(convert_database(in, out), FormatError::short_read);
    }
    struct FullSink final : ByteSink {
        std::size_t room = 200;
        bool write(const std::uint8_t*, std::size_t n) override {
            if (n > room) return false;
            room -= n;
            return true;
        }
    };
    MemorySource in(input);
    FullSink out;
    EXPECT_EQ(convert_database(in, out), FormatError::write_failed);
}

}  // namespace
}  // namespace palmconv
