// Converts one database reading its input one of two ways, so that the benchmark can time them
// side by side through the program's own output path:
//   copy_ways mapped|read BLOCK_BYTES IN OUT
// "mapped" lends the input from read-only windows of BLOCK_BYTES mapped with MAP_POPULATE;
// "read" reads it through the program's own input file into one reused block of BLOCK_BYTES.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "converted_database.hpp"
#include "files/file_io.hpp"

namespace {

using namespace palmconv;

// The input lent from mapped windows; reads go through the program's input file.
class MappedSource final : public ByteSource {
  public:
    MappedSource(InputFile& file, int fd) : file_(file), fd_(fd) {}
    ~MappedSource() override { release(); }
    bool size(std::uint64_t& out) override { return file_.size(out); }
    bool seek(std::uint64_t offset) override { return file_.seek(offset); }
    std::size_t read(std::uint8_t* buf, std::size_t n) override { return file_.read(buf, n); }
    const std::uint8_t* map(std::uint64_t offset, std::size_t size) override {
        release();
        const std::uint64_t start = offset - offset % static_cast<std::uint64_t>(getpagesize());
        length_ = size + static_cast<std::size_t>(offset - start);
        address_ = mmap(nullptr, length_, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_,
                        static_cast<off_t>(start));
        if (address_ == MAP_FAILED) {
            address_ = nullptr;
            return nullptr;
        }
        return static_cast<const std::uint8_t*>(address_) + (offset - start);
    }

  private:
    void release() {
        if (address_ != nullptr) munmap(address_, length_);
        address_ = nullptr;
    }
    InputFile& file_;
    int fd_;
    void* address_ = nullptr;
    std::size_t length_ = 0;
};

// The input read into the converter's reused block, never lent.
class ReadSource final : public ByteSource {
  public:
    explicit ReadSource(InputFile& file) : file_(file) {}
    bool size(std::uint64_t& out) override { return file_.size(out); }
    bool seek(std::uint64_t offset) override { return file_.seek(offset); }
    std::size_t read(std::uint8_t* buf, std::size_t n) override { return file_.read(buf, n); }

  private:
    InputFile& file_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: copy_ways mapped|read BLOCK_BYTES IN OUT\n", stderr);
        return 2;
    }
    const std::string way = argv[1];
    const std::size_t block = std::strtoull(argv[2], nullptr, 10);
    auto input = InputFile::open(argv[3]);
    const int fd = open(argv[3], O_RDONLY | O_CLOEXEC);
    if (!input || fd < 0 || block == 0) return 1;
    MappedSource mapped(*input, fd);
    ReadSource read(*input);
    ByteSource& source = way == "mapped" ? static_cast<ByteSource&>(mapped) : read;
    ConvertedLayout layout;
    if (prepare_conversion(source, layout) != FormatError::none) return 1;
    OutputStart start = OutputStart::not_found;
    auto output = OutputFile::create(argv[4], *input, layout.output_size, start);
    if (!output) return 1;
    if (write_converted_database(layout, source, *output, block) != FormatError::none) return 1;
    return output->commit() == CommitResult::done ? 0 : 1;
}
