// Unit tests of reading and checking Palm databases.
#include "palm_database.hpp"

#include <gtest/gtest.h>

#include "pdb_builder.hpp"

namespace palmconv {
namespace {

using testing::build_pdb;
using testing::PdbDescription;

PdbDescription three_records() {
    PdbDescription d;
    d.record_offsets = {104, 120, 620};
    d.file_size = 1000;
    return d;
}

TEST(PalmDatabase, ReadsExtentsAndLeavesStreamAtFirstRecord) {
    const auto bytes = build_pdb(three_records());
    MemorySource in(bytes);
    PalmDatabase db;
    ASSERT_EQ(read_palm_database(in, db), FormatError::none);
    EXPECT_TRUE(is_text_document(db));
    ASSERT_EQ(db.record_offsets.size(), 3u);
    const Extent expected[] = {{104, 16}, {120, 500}, {620, 380}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(record_extent(db, i).offset, expected[i].offset) << i;
        EXPECT_EQ(record_extent(db, i).length, expected[i].length) << i;
    }
    std::uint8_t next = 0;
    ASSERT_EQ(in.read(&next, 1), 1u);
    EXPECT_EQ(next, bytes[104]);
}

TEST(PalmDatabase, NextRecordListEndsTheLastRecord) {
    auto d = three_records();
    d.next_list = 980;
    auto bytes = build_pdb(d);
    testing::put_be(bytes, 986, 900, 4);
    MemorySource in(bytes);
    PalmDatabase db;
    ASSERT_EQ(read_palm_database(in, db), FormatError::none);
    EXPECT_EQ(record_extent(db, 2).offset, 620u);
    EXPECT_EQ(record_extent(db, 2).length, 280u);
    std::uint8_t next = 0;
    ASSERT_EQ(in.read(&next, 1), 1u);
    EXPECT_EQ(next, bytes[104]) << "the next list is read, then the stream goes back to record 0";
}

TEST(PalmDatabase, NameFieldIsKeptWhole) {
    auto bytes = build_pdb(three_records());
    const std::uint8_t name[] = {'S', 't', 'o', 'r', 'y', 0, 0xAA, 0xBB, 'x'};
    std::copy(std::begin(name), std::end(name), bytes.begin());
    MemorySource in(bytes);
    PalmDatabase db;
    ASSERT_EQ(read_palm_database(in, db), FormatError::none);
    EXPECT_TRUE(std::equal(db.name.begin(), db.name.end(), bytes.begin()));
}

TEST(PalmDatabase, TypeAndCreatorMustBothMatch) {
    const struct {
        const char* type;
        const char* creator;
        bool text;
    } cases[] = {
        {"TEXt", "REAd", true},  {"TEXt", "READ", false}, {"TEXT", "REAd", false},
        {"BOOK", "MOBI", false}, {"REAd", "TEXt", false},
    };
    for (const auto& c : cases) {
        auto d = three_records();
        d.type = c.type;
        d.creator = c.creator;
        const auto bytes = build_pdb(d);
        MemorySource in(bytes);
        PalmDatabase db;
        ASSERT_EQ(read_palm_database(in, db), FormatError::none);
        EXPECT_EQ(is_text_document(db), c.text) << c.type << "/" << c.creator;
    }
}

}  // namespace
}  // namespace palmconv
