// The output path rule: the input's path with its third-from-last character made 'h'.
#include "output_path.hpp"

namespace palmconv {

namespace {
constexpr std::size_t changed_position_from_end = 3;
constexpr char output_mark = 'h';

// Calls `visit(position, single)` for each character of `path`, `single` telling whether it is
// a single byte standing for itself.
template <typename Visit>
void walk_characters(const std::string& path, const PathSyntax& syntax, Visit visit) {
    // The walk goes from the start: in a double-byte code page a separator's byte may also be
    // the second half of a character, and only the walk tells which it is.
    for (std::size_t at = 0; at < path.size();) {
        const auto byte = static_cast<unsigned char>(path[at]);
        std::size_t size = 1;
        bool single = true;
        switch (syntax.encoding) {
            case PathSyntax::Encoding::single_byte:
                break;
            case PathSyntax::Encoding::utf8:
                single = byte < 0x80;
                break;
            case PathSyntax::Encoding::double_byte:
                if (syntax.lead_bytes[byte]) {
                    single = false;
                    size = at + 1 < path.size() ? 2 : 1;
                }
                break;
        }
        visit(at, single);
        at += size;
    }
}

bool is_separator(const std::string& path, std::size_t at, bool single, const PathSyntax& syntax) {
    return single && syntax.separators.find(path[at]) != std::string::npos;
}

}  // namespace

std::size_t file_name_start(const std::string& path, const PathSyntax& syntax) {
    std::size_t start = 0;
    walk_characters(path, syntax, [&](std::size_t at, bool single) {
        if (is_separator(path, at, single, syntax)) start = at + 1;
    });
    return start;
}

std::optional<std::string> output_path_for(const std::string& input, const PathSyntax& syntax) {
    if (input.size() < changed_position_from_end) return std::nullopt;
    const std::size_t changed = input.size() - changed_position_from_end;
    std::size_t name_start = 0;
    bool changed_is_single_byte = false;
    walk_characters(input, syntax, [&](std::size_t at, bool single) {
        if (is_separator(input, at, single, syntax)) name_start = at + 1;
        if (at == changed) changed_is_single_byte = single;
    });
    if (changed < name_start || !changed_is_single_byte) return std::nullopt;

    std::string output = input;
    output[changed] = output_mark;
    return output;
}

}  // namespace palmconv
