// Converts one database reading its input one of several ways, so that the benchmark can time
// them side by side, and copies it the ways that bound any conversion from below:
//   copy_ways mapped|read|read-only|dd|dd-shifted|gather BLOCK_BYTES IN OUT
// "mapped" copies the input out of read-only windows of 8 MiB mapped with MAP_POPULATE;
// "read" reads it as the program does, in scattered reads straight into each output block, and
// writes through the program's own output path; "read-only" does the same but writes nothing.
// The floors, which write no database: "dd" copies the file block by block as `dd` does, both
// of the system's copies aligned; "dd-shifted" the same with every byte landing 2 bytes further
// on in the output, as a record's bytes land behind its prefix; "gather" reads aligned blocks
// and writes each record's bytes behind a 2-byte prefix in one gathered write per block (the
// records taken as 4 KiB from the start, which is what the bench's databases hold).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

// Takes the bytes and keeps none of them.
class Discard final : public ByteSink {
  public:
    bool write(const std::uint8_t*, std::size_t) override { return true; }
};

// A block of `size` bytes whose pages are touched once, up front.
std::uint8_t* populated_block(std::size_t size) {
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return block == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(block);
}

bool write_all(int fd, const std::uint8_t* data, std::size_t n, off_t at) {
    while (n != 0) {
        const ssize_t done = pwrite(fd, data, n, at);
        if (done <= 0) return false;
        data += done;
        n -= static_cast<std::size_t>(done);
        at += done;
    }
    return true;
}

// The floors: copies IN to OUT one of the ways described above.
int copy_floor(const std::string& way, std::size_t block, const char* in_path,
               const char* out_path) {
    const int in = open(in_path, O_RDONLY | O_CLOEXEC);
    const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::uint8_t* buffer = populated_block(block);
    if (in < 0 || out < 0 || buffer == nullptr) return 1;
    static const std::uint8_t prefix[2] = {0x01, 0x41};
    constexpr std::size_t record = 4096;
    std::vector<iovec> pieces;
    off_t at = way == "dd-shifted" ? 2 : 0;
    for (;;) {
        const ssize_t got = read(in, buffer, block);
        if (got < 0) return 1;
        if (got == 0) return 0;
        const std::size_t n = static_cast<std::size_t>(got);
        if (way != "gather") {
            if (!write_all(out, buffer, n, at)) return 1;
            at += got;
            continue;
        }
        pieces.clear();
        std::size_t total = 0;
        for (std::size_t offset = 0; offset < n; offset += record) {
            pieces.push_back({const_cast<std::uint8_t*>(prefix), sizeof prefix});
            pieces.push_back({buffer + offset, std::min(record, n - offset)});
            total += sizeof prefix + pieces.back().iov_len;
        }
        // Whole blocks of 4 KiB records give at most IOV_MAX pieces for blocks up to 2 MiB.
        if (writev(out, pieces.data(), static_cast<int>(pieces.size())) !=
            static_cast<ssize_t>(total)) {
            return 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: copy_ways mapped|read|read-only|dd|dd-shifted|gather BLOCK_BYTES IN "
                   "OUT\n",
                   stderr);
        return 2;
    }
    const std::string way = argv[1];
    const std::size_t block = std::strtoull(argv[2], nullptr, 10);
    if (way == "dd" || way == "dd-shifted" || way == "gather") {
        return block == 0 ? 1 : copy_floor(way, block, argv[3], argv[4]);
    }
    auto input = InputFile::open(argv[3]);
    const int fd = open(argv[3], O_RDONLY | O_CLOEXEC);
    if (!input || fd < 0 || block == 0) return 1;
    MappedSource mapped(*input, fd, 8 << 20);
    ByteSource& source = way == "mapped" ? static_cast<ByteSource&>(mapped) : *input;
    ConvertedLayout layout;
    if (prepare_conversion(source, layout) != FormatError::none) return 1;
    if (way == "read-only") {
        Discard nothing;
        return write_converted_database(layout, source, nothing, block) == FormatError::none ? 0
                                                                                             : 1;
    }
    OutputStart start = OutputStart::not_found;
    auto output = OutputFile::create(argv[4], *input, layout.output_size, start);
    if (!output) return 1;
    if (write_converted_database(layout, source, *output, block) != FormatError::none) return 1;
    return output->commit() == CommitResult::done ? 0 : 1;
}
