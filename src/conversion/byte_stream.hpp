// The two stream shapes the format code reads from and writes to, with in-memory versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palmconv {

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
    // The `size` bytes at `offset`, in place, valid until the next call; null where the source
    // cannot lend its bytes. They may belong to a file that another process shortens, so they
    // may only be handed to a sink's writes, which pass them to the system, never read here.
    virtual const std::uint8_t* map(std::uint64_t /*offset*/, std::size_t /*size*/) {
        return nullptr;
    }
};

// A run of bytes owned elsewhere.
struct ByteSpan {
    const std::uint8_t* data;
    std::size_t size;
};

// A sink of bytes.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Writes all `n` bytes of `buf`; false on failure.
    virtual bool write(const std::uint8_t* buf, std::size_t n) = 0;
    // Writes the spans in order, as one write where the sink can; false on failure.
    virtual bool write_spans(const ByteSpan* spans, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!write(spans[i].data, spans[i].size)) return false;
        }
        return true;
    }
};

// Reads exactly `n` bytes; false when fewer were available.
inline bool read_exact(ByteSource& in, std::uint8_t* buf, std::size_t n) {
    return in.read(buf, n) == n;
}

// A source over bytes held in memory; the bytes must outlive it. It lends its bytes in place
// only when asked to, so that both ways of copying can be tried on it.
class MemorySource final : public ByteSource {
  public:
    MemorySource(const std::uint8_t* data, std::size_t size, bool lends = false)
        : data_(data), size_(size), lends_(lends) {}
    explicit MemorySource(const std::vector<std::uint8_t>& bytes, bool lends = false)
        : MemorySource(bytes.data(), bytes.size(), lends) {}

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
    const std::uint8_t* map(std::uint64_t offset, std::size_t size) override {
        return lends_ && offset <= size_ && size <= size_ - offset ? data_ + offset : nullptr;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    bool lends_;
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
