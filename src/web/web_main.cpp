// The browser's entry to the converter: the page's worker hands in a chosen file as a byte source
// and takes the conversion out through a byte sink, in large chunks.
#include <emscripten.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "converted_database.hpp"
#include "messages.hpp"
#include "output_path.hpp"

// Reads up to `n` bytes of the chosen file from `offset` into `buf`; how many were read.
EM_JS(double, palmconv_js_read, (double offset, std::uint8_t* buf, double n), {
    return Module.readChosen(offset, buf, n);
});

// Hands the next `n` bytes of the conversion to the page, with how far it has come.
EM_JS(void, palmconv_js_write, (const std::uint8_t* buf, double n, double done, double total), {
    Module.takeOutput(buf, n, done, total);
});

namespace palmconv {

namespace {

// The chosen file, read through the worker.
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
        if (position_ >= size_) return 0;
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - position_));
        const auto got = static_cast<std::size_t>(
            palmconv_js_read(static_cast<double>(position_), buf, static_cast<double>(wanted)));
        position_ += got;
        return got;
    }

  private:
    std::uint64_t size_;
    std::uint64_t position_ = 0;
};

// Collects the conversion's many small writes into chunks the page can take cheaply.
class PageSink final : public ByteSink {
  public:
    explicit PageSink(std::uint64_t total) : total_(total) { buffer_.reserve(chunk_size); }
    bool write(const std::uint8_t* buf, std::size_t n) override {
        while (n > 0) {
            const std::size_t part = std::min(n, chunk_size - buffer_.size());
            buffer_.insert(buffer_.end(), buf, buf + part);
            buf += part;
            n -= part;
            if (buffer_.size() == chunk_size) flush();
        }
        return true;
    }
    void flush() {
        done_ += buffer_.size();
        palmconv_js_write(buffer_.data(), static_cast<double>(buffer_.size()),
                          static_cast<double>(done_), static_cast<double>(total_));
        buffer_.clear();
    }

  private:
    static constexpr std::size_t chunk_size = 4 << 20;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
};

// Each read of the chosen file is a round trip to the browser, which costs far more than the
// bytes it brings: few large reads, within the page's small memory.
constexpr std::size_t read_block_size = 8 << 20;

Outcome convert(const std::string& name, std::uint64_t size, std::string& output_name,
                Outcome& without_memory) {
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
    const FormatError written = write_converted_database(layout, input, sink, read_block_size);
    if (written == FormatError::write_failed) return Outcome::output_not_written;
    if (written != FormatError::none) return Outcome::invalid_database;
    sink.flush();
    return Outcome::converted;
}

std::string last_output_name;
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
        outcome = convert(name, static_cast<std::uint64_t>(size), last_output_name, failure_now);
    } catch (const std::bad_alloc&) {
        outcome = failure_now;
    }
    return report_for(outcome).message;
}

// The output's name after a successful conversion (UTF-8).
EMSCRIPTEN_KEEPALIVE const char* palmconv_output_name() {
    return palmconv::last_output_name.c_str();
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
