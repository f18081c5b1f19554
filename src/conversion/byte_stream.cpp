// The in-memory byte source, and scattered reads for sources that read one run at a time.
#include "byte_stream.hpp"

#include <algorithm>
#include <cstring>

namespace palmconv {

std::size_t ByteSource::read_spans(const MutableSpan* spans, std::size_t count) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t got = read(spans[i].data, spans[i].size);
        total += got;
        if (got != spans[i].size) break;
    }
    return total;
}

std::size_t MemorySource::read(std::uint8_t* buf, std::size_t n) {
    if (position_ >= size_) return 0;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - position_));
    std::memcpy(buf, data_ + position_, count);
    position_ += count;
    return count;
}

}  // namespace palmconv
