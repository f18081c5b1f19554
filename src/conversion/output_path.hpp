// Where a conversion's output goes: beside the input, the third-from-last character of its name
// made 'h' (story.pdb gives story.hdb).
#pragma once

#include <bitset>
#include <optional>
#include <string>

namespace palmconv {

// How the system spells paths: what separates folders, and how bytes group into characters.
struct PathSyntax {
    enum class Encoding {
        single_byte,  // every byte is a character of its own
        utf8,         // every byte from 0x80 up belongs to a character of several bytes
        double_byte,  // a lead byte and the byte after it are one character
    };
    std::string separators = "/";
    Encoding encoding = Encoding::utf8;
    std::bitset<256> lead_bytes;  // for double_byte: the bytes that open a two-byte character
};

// Where the file's own name starts in `path`: just past the last separator, or 0.
std::size_t file_name_start(const std::string& path, const PathSyntax& syntax);

// The output path for `input`; nothing when the file's own name is shorter than three characters
// or the character to change is not a single byte, since the change would then land in another
// folder or split a character.
std::optional<std::string> output_path_for(const std::string& input, const PathSyntax& syntax);

}  // namespace palmconv
