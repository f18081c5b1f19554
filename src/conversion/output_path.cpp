#include "output_path.hpp"

namespace palmconv {

namespace {
constexpr std::size_t changed_position_from_end = 3;
constexpr char output_mark = 'h';
}  // namespace

std::optional<std::string> output_path_for(const std::string& input, const PathSyntax& syntax) {
    if (input.size() < changed_position_from_end) return std::nullopt;
    const std::size_t changed = input.size() - changed_position_from_end;

    // Characters are walked from the start: in a double-byte code page a separator's byte may
    // also be the second half of a character, and only the walk tells which it is.
    std::size_t name_start = 0;
    bool changed_is_single_byte = false;
    for (std::size_t at = 0; at < input.size();) {
        const auto byte = static_cast<unsigned char>(input[at]);
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
                    size = at + 1 < input.size() ? 2 : 1;
                }
                break;
        }
        if (single && syntax.separators.find(static_cast<char>(byte)) != std::string::npos) {
            name_start = at + 1;
        }
        if (at == changed) changed_is_single_byte = single;
        at += size;
    }
    if (changed < name_start || !changed_is_single_byte) return std::nullopt;

    std::string output = input;
    output[changed] = output_mark;
    return output;
}

}  // namespace palmconv
