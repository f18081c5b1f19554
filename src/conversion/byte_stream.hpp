// The two stream shapes the format code reads from and writes to, with in-memory versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palmconv {

// A run of bytes owned elsewhere.
struct ByteSpan {
    const std::uint8_t* data;
    std::size_t size;
};

// A run of bytes owned elsewhere, to be filled.
struct MutableSpan {
    std::uint8_t* data;
    std::size_t size;
};

// A seekable source of bytes.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Stores the total size in `out`; false when it cannot be told.
    virtual bool size(std::uint64_t& out) = 0;
    // Moves to `offset` from the start; false on failure.
    virtual bool seek(std::uint64_t offset) = 0;
    // Reads up to `n` bytes into `buf`; returns how many were read (fewer only at the end or on
    // error).
    virtual std::size_t read(std::uint8_t* buf, std::size_t n) = 0;
    // Reads the next bytes into each span in turn, as one read where the source can; returns how
    // many were read in all (fewer only at the end or on error).
    virtual std::size_t read_spans(const MutableSpan* spans, std::size_t count);
};

// A sink of bytes.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Writes all `n` bytes of `buf`; false on failure.
    virtual bool write(const std::uint8_t* buf, std::size_t n) = 0;
};

// Reads exactly `n` bytes; false when fewer were available.
inline bool read_exact(ByteSource& in, std::uint8_t* buf, std::size_t n) {
    return in.read(buf, n) == n;
}

// A source over bytes held in memory; the bytes must outlive it.
class MemorySource final : public ByteSource {
  public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit MemorySource(const std::vector<std::uint8_t>& bytes)
        : MemorySource(bytes.data(), bytes.size()) {}

    bool size(std::uint64_t& out) override {
        out = size_;
        return true;
    }
    bool seek(std::uint64_t offset) override {
        // Like a file stream, seeking past the end succeeds; reads there return nothing.
        position_ = offset;
        return true;
    }
    std::size_t read(std::uint8_t* buf, std::size_t n) override;

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::uint64_t position_ = 0;
};

// A sink that appends to a vector it owns.
class VectorSink final : public ByteSink {
  public:
    bool write(const std::uint8_t* buf, std::size_t n) override {
        bytes.insert(bytes.end(), buf, buf + n);
        return true;
    }
    std::vector<std::uint8_t> bytes;
};

}  // namespace palmconv
