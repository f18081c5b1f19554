// Runs the fuzz target over saved inputs (files, or folders of them), so findings stay fixed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& e : std::filesystem::directory_iterator(argv[i]))
                files.push_back(e.path());
        } else {
            files.emplace_back(argv[i]);
        }
        for (const auto& file : files) {
            std::ifstream stream(file, std::ios::binary);
            if (!stream) {
                std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
                return 1;
            }
            const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(stream)), {});
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++count;
        }
    }
    if (count == 0) {
        std::fprintf(stderr, "no inputs replayed\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
