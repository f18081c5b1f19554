// Converts one database reading its input one of two ways, so that the benchmark can time them
// side by side through the program's own output path:
//   copy_ways mapped|read BLOCK_BYTES IN OUT
// "mapped" copies the input out of read-only windows of 8 MiB mapped with MAP_POPULATE;
// "read" reads it as the program does, in scattered reads straight into each output block.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "converted_database.hpp"
#include "files/file_io.hpp"

namespace {

using namespace palmconv;

// The input copied out of read-only windows mapped ahead, one window at a time.
class MappedSource final : public ByteSource {
  public:
    MappedSource(InputFile& file, int fd, std::size_t window)
        : file_(file), fd_(fd), window_(window) {}
    ~MappedSource() override { release(); }
    bool size(std::uint64_t& out) override { return file_.size(out); }
    bool seek(std::uint64_t offset) override {
        position_ = offset;
        return file_.seek(offset);
    }
    std::size_t read(std::uint8_t* buf, std::size_t n) override {
        const MutableSpan span{buf, n};
        return read_spans(&span, 1);
    }
    std::size_t read_spans(const MutableSpan* spans, std::size_t count) override {
        std::size_t total = 0;
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t done = 0; done < spans[i].size;) {
                if (position_ < start_ || position_ >= start_ + length_) {
                    if (!map_at(position_)) return total;
                }
                const std::size_t n = std::min<std::size_t>(
                    spans[i].size - done, static_cast<std::size_t>(start_ + length_ - position_));
                std::memcpy(spans[i].data + done,
                            static_cast<const std::uint8_t*>(address_) + (position_ - start_), n);
                done += n;
                total += n;
                position_ += n;
            }
        }
        return total;
    }

  private:
    bool map_at(std::uint64_t offset) {
        release();
        std::uint64_t size = 0;
        if (!file_.size(size) || offset >= size) return false;
        start_ = offset - offset % static_cast<std::uint64_t>(getpagesize());
        length_ = static_cast<std::size_t>(std::min<std::uint64_t>(window_, size - start_));
        address_ = mmap(nullptr, length_, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_,
                        static_cast<off_t>(start_));
        if (address_ == MAP_FAILED) {
            address_ = nullptr;
            length_ = 0;
            return false;
        }
        return true;
    }
    void release() {
        if (address_ != nullptr) munmap(address_, length_);
        address_ = nullptr;
        length_ = 0;
    }
    InputFile& file_;
    int fd_;
    std::size_t window_;
    std::uint64_t position_ = 0;
    std::uint64_t start_ = 0;
    std::size_t length_ = 0;
    void* address_ = nullptr;
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
    MappedSource mapped(*input, fd, 8 << 20);
    ByteSource& source = way == "mapped" ? static_cast<ByteSource&>(mapped) : *input;
    ConvertedLayout layout;
    if (prepare_conversion(source, layout) != FormatError::none) return 1;
    OutputStart start = OutputStart::not_found;
    auto output = OutputFile::create(argv[4], *input, layout.output_size, start);
    if (!output) return 1;
    if (write_converted_database(layout, source, *output, block) != FormatError::none) return 1;
    return output->commit() == CommitResult::done ? 0 : 1;
}
