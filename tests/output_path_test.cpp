// Unit tests of the output path rule.
#include "output_path.hpp"

#include <gtest/gtest.h>

namespace palmconv {
namespace {

PathSyntax posix() { return {}; }

PathSyntax windows(PathSyntax::Encoding encoding) {
    PathSyntax s;
    s.separators = "\\/:";
    s.encoding = encoding;
    // Shift-JIS: 0x81-0x9F and 0xE0-0xFC open a two-byte character.
    if (encoding == PathSyntax::Encoding::double_byte) {
        for (int b = 0x81; b <= 0x9F; ++b) s.lead_bytes.set(b);
        for (int b = 0xE0; b <= 0xFC; ++b) s.lead_bytes.set(b);
    }
    return s;
}

TEST(OutputPath, ChangesTheThirdFromLastCharacterOfTheFileName) {
    const auto utf8 = PathSyntax::Encoding::utf8;
    const auto sjis = PathSyntax::Encoding::double_byte;
    const auto latin = PathSyntax::Encoding::single_byte;
    const struct {
        const char* input;
        PathSyntax syntax;
        const char* output;  // null: refused
    } cases[] = {
        {"story.pdb", posix(), "story.hdb"},
        {"/books/STORY.PDB", posix(), "/books/STORY.hDB"},
        {"notes.txt", posix(), "notes.hxt"},
        {"data/book", posix(), "data/bhok"},
        {"x.hdb", posix(), "x.hdb"},
        {"abc", posix(), "hbc"},
        {"dir/abc", posix(), "dir/hbc"},
        {"книга.pdb", posix(), "книга.hdb"},
        // A name under three bytes: the change would land on a separator or a folder's name.
        {"ab", posix(), nullptr},
        {"notes/ab", posix(), nullptr},
        {"books/xy", posix(), nullptr},
        {"ab/c", posix(), nullptr},
        {"./x", posix(), nullptr},
        {"dir/", posix(), nullptr},
        {"", posix(), nullptr},
        // The byte to change belongs to a character of several bytes.
        {"小说", posix(), nullptr},
        {"dir/книга", posix(), nullptr},
        {"a\xd0.x", posix(), nullptr},
        // On Windows a backslash and a drive's colon also end a folder's name.
        {"C:\\books\\story.pdb", windows(utf8), "C:\\books\\story.hdb"},
        {"C:\\books\\ab", windows(utf8), nullptr},
        {"C:ab", windows(utf8), nullptr},
        {"C:abc", windows(utf8), "C:hbc"},
        {"books\\a\\b", windows(utf8), nullptr},
        {"back\\slash", posix(), "back\\slhsh"},
        // A single-byte code page: every byte is a character.
        {"C:\\b\\caf\xe9.pdb", windows(latin), "C:\\b\\caf\xe9.hdb"},
        {"C:\\b\\\xe9t\xe9", windows(latin), "C:\\b\\ht\xe9"},
        // Shift-JIS: 0x5C is a backslash alone but the second half of the character 0x95 0x5C.
        {"C:\\b\\\x95\x5c.pdb", windows(sjis), "C:\\b\\\x95\x5c.hdb"},
        {"C:\\b\\x\x95\x5c", windows(sjis), "C:\\b\\h\x95\x5c"},
        {"C:\\b\\\x95\x5cxy", windows(sjis), nullptr},
        {"C:\\b\\\x95\x5cxyz", windows(sjis), "C:\\b\\\x95\x5chyz"},
        {"C:\\b\\\xb1xyz", windows(sjis), "C:\\b\\\xb1hyz"},
        {"C:\\b\\\xb1yz", windows(sjis), "C:\\b\\hyz"},
    };
    for (const auto& c : cases) {
        const auto got = output_path_for(c.input, c.syntax);
        if (c.output == nullptr) {
            EXPECT_FALSE(got.has_value()) << c.input << " gave " << got.value_or("");
        } else {
            EXPECT_EQ(got.value_or("(refused)"), c.output) << c.input;
        }
    }
}

TEST(OutputPath, FileNameStartsPastTheLastSeparatorThatIsACharacter) {
    const auto sjis = windows(PathSyntax::Encoding::double_byte);
    EXPECT_EQ(file_name_start("story.pdb", posix()), 0u);
    EXPECT_EQ(file_name_start("/a/b/story.pdb", posix()), 5u);
    EXPECT_EQ(file_name_start("a\\b", posix()), 0u);
    EXPECT_EQ(file_name_start("C:\\b\\c.pdb", windows(PathSyntax::Encoding::utf8)), 5u);
    EXPECT_EQ(file_name_start("C:x", sjis), 2u);
    EXPECT_EQ(file_name_start("C:\\\x95\x5c.pdb", sjis), 3u);
}

}  // namespace
}  // namespace palmconv
