// The browser's entry to the converter: the page's worker hands in a chosen file as a byte source
// and takes the conversion out through a byte sink, in large chunks.
#include <emscripten.h>

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "converted_database.hpp"
#include "messages.hpp"
#include "output_path.hpp"

// Reads the chosen file's bytes from `offset` into the `count` spans, in order, and answers how
// many it read. The page's main thread reads the file and hands it over in slices, so the
// converter waits here (its stack kept by Asyncify) until the bytes arrive.
EM_ASYNC_JS(double, palmconv_js_read, (double offset, const void* spans, double count), {
    return await Module.readChosen(offset, spans, count);
});

// Hands the next `n` bytes of the conversion to the page, with how far it has come.
EM_JS(void, palmconv_js_write, (const std::uint8_t* buf, double n, double done, double total), {
    Module.takeOutput(buf, n, done, total);
});

namespace palmconv {

namespace {

// The chosen file, read through the page.
class ChosenFile final : public ByteSource {
  public:
    explicit ChosenFile(std::uint64_t size) : size_(size) {}
    bool size(std::uint64_t& out) override {
        out = size_;
        return true;
    }
    bool seek(std::uint64_t offset) override {
        position_ = offset;
        return true;
    }
    std::size_t read(std::uint8_t* buf, std::size_t n) override {
        const MutableSpan span{buf, n};
        return read_spans(&span, 1);
    }
    // One round trip to the page for all the spans: each costs far more than the bytes it brings.
    std::size_t read_spans(const MutableSpan* spans, std::size_t count) override {
        static_assert(sizeof(MutableSpan) == 8, "the page reads spans as pairs of 32-bit words");
        const auto got = static_cast<std::size_t>(
            palmconv_js_read(static_cast<double>(position_), spans, static_cast<double>(count)));
        position_ += got;
        return got;
    }

  private:
    std::uint64_t size_;
    std::uint64_t position_ = 0;
};

// The tables of CRC-32 (the polynomial of zip archives, reflected), eight bytes at a time.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t i = 0; i < 256; ++i) {
        for (std::size_t k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xff] ^ (t[k - 1][i] >> 8);
    }
    return t;
}
constexpr CrcTables crc_tables = make_crc_tables();

// CRC-32 of the bytes given so far.
class Crc32 {
  public:
    void update(const std::uint8_t* p, std::size_t n) {
        std::uint32_t c = ~crc_;
        for (; n >= 8; p += 8, n -= 8) {
            const std::uint32_t lo = c ^ (p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24);
            c = crc_tables[7][lo & 0xff] ^ crc_tables[6][(lo >> 8) & 0xff] ^ crc_tables[5][(lo >> 16) & 0xff] ^
                crc_tables[4][lo >> 24] ^ crc_tables[3][p[4]] ^ crc_tables[2][p[5]] ^ crc_tables[1][p[6]] ^
                crc_tables[0][p[7]];
        }
        for (; n > 0; ++p, --n) c = crc_tables[0][(c ^ *p) & 0xff] ^ (c >> 8);
        crc_ = ~c;
    }
    std::uint32_t value() const { return crc_; }

  private:
    std::uint32_t crc_ = 0;
};

// Hands each block of the conversion straight to the page, which copies it out once; keeps the
// output's CRC-32, which the page's "Save all" archive records for each file.
class PageSink final : public ByteSink {
  public:
    explicit PageSink(std::uint64_t total) : total_(total) {}
    std::uint32_t crc() const { return crc_.value(); }
    bool write(const std::uint8_t* buf, std::size_t n) override {
        crc_.update(buf, n);
        done_ += n;
        palmconv_js_write(buf, static_cast<double>(n), static_cast<double>(done_),
                          static_cast<double>(total_));
        return true;
    }

  private:
    Crc32 crc_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
};

// The block the records are copied through: few, large round trips to the page, within its
// small memory.
constexpr std::size_t copy_block = 8 << 20;

Outcome convert(const std::string& name, std::uint64_t size, std::string& output_name,
                std::uint32_t& output_crc, Outcome& without_memory) {
    ChosenFile input(size);
    without_memory = Outcome::invalid_database;
    ConvertedLayout layout;
    if (prepare_conversion(input, layout) != FormatError::none) return Outcome::invalid_database;
    // A chosen file's name has no folders.
    const std::optional<std::string> output = output_path_for(name, PathSyntax{});
    if (!output) return Outcome::output_not_found;
    output_name = *output;
    without_memory = Outcome::output_not_written;
    PageSink sink(layout.output_size);
    const FormatError written = write_converted_database(layout, input, sink, copy_block);
    if (written == FormatError::write_failed) return Outcome::output_not_written;
    if (written != FormatError::none) return Outcome::invalid_database;
    output_crc = sink.crc();
    return Outcome::converted;
}

std::string last_output_name;
std::uint32_t last_output_crc = 0;
// The message for a conversion that fails where it stands now, as when memory runs out there.
palmconv::Outcome failure_now = palmconv::Outcome::invalid_database;

}  // namespace

}  // namespace palmconv

extern "C" {

// Converts the chosen file named `name` (UTF-8) of `size` bytes, which the page reads on request;
// the message of the outcome, empty on success.
EMSCRIPTEN_KEEPALIVE const char* palmconv_convert(const char* name, double size) {
    using namespace palmconv;
    Outcome outcome;
    last_output_name.clear();
    failure_now = Outcome::invalid_database;
    try {
        outcome = convert(name, static_cast<std::uint64_t>(size), last_output_name, last_output_crc,
                          failure_now);
    } catch (const std::bad_alloc&) {
        outcome = failure_now;
    }
    return report_for(outcome).message;
}

// The output's name after a successful conversion (UTF-8).
EMSCRIPTEN_KEEPALIVE const char* palmconv_output_name() {
    return palmconv::last_output_name.c_str();
}

// The output's CRC-32 after a successful conversion.
EMSCRIPTEN_KEEPALIVE double palmconv_output_crc() {
    return palmconv::last_output_crc;
}

// The message for a conversion that broke off where it stood (the worker failed under it).
EMSCRIPTEN_KEEPALIVE const char* palmconv_failure_message() {
    return palmconv::report_for(palmconv::failure_now).message;
}

// The message for a file the browser cannot read at all.
EMSCRIPTEN_KEEPALIVE const char* palmconv_unreadable_message() {
    return palmconv::report_for(palmconv::Outcome::file_not_found).message;
}

}  // extern "C"
