// The driver's files: the input, and an output that appears at its path only when complete.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "byte_stream.hpp"
#include "platform_file.hpp"

namespace palmconv {

// The input database, refused where it could not be opened for update; shared with other openers.
class InputFile final : public ByteSource {
  public:
    // Opens `path`; null when it could not be opened for reading and update.
    static std::unique_ptr<InputFile> open(const std::string& path);
    ~InputFile() override;

    bool size(std::uint64_t& out) override;
    bool seek(std::uint64_t offset) override;
    std::size_t read(std::uint8_t* buf, std::size_t n) override;
    std::size_t read_spans(const MutableSpan* spans, std::size_t count) override;

  private:
    friend class OutputFile;
    explicit InputFile(std::FILE* file) : file_(file) {}
    std::FILE* file_;
};

// The block a conversion's records are copied through.
class CopyBlock {
  public:
    // A block of `size` bytes, to be written at `file_offset` of the output.
    CopyBlock(std::size_t size, std::uint64_t file_offset)
        : span_(platform::allocate_block(size, file_offset)) {}
    ~CopyBlock() { platform::release_block(span_); }
    CopyBlock(const CopyBlock&) = delete;
    CopyBlock& operator=(const CopyBlock&) = delete;
    // Null when there was no memory for it.
    MutableSpan span() const { return span_; }

  private:
    MutableSpan span_;
};

using platform::CommitResult;

enum class OutputStart {
    started,
    not_found,  // the output path cannot be created or replaced
    no_room,    // the old output would have been written in place, but the conversion won't fit
};

// The output. A new file takes the output path only when committed, and is discarded otherwise;
// where such a file cannot keep an old output as its owner had it, or cannot take its place,
// the old output is written in place, as a plain open for writing would, once room is reserved.
class OutputFile final : public ByteSink {
  public:
    // Starts an output of `size` bytes for `path`, beside the open `input`; null unless started.
    static std::unique_ptr<OutputFile> create(const std::string& path, const InputFile& input,
                                              std::uint64_t size, OutputStart& result);
    ~OutputFile() override;

    bool write(const std::uint8_t* buf, std::size_t n) override;
    // Puts the complete output at its path; when it replaces the input, only once on the disk.
    CommitResult commit();

  private:
    OutputFile(platform::PendingFile pending, bool replaces_input)
        : pending_(std::move(pending)), replaces_input_(replaces_input) {}
    platform::PendingFile pending_;
    bool replaces_input_;
    bool failed_ = false;
};

}  // namespace palmconv
