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
    const std::uint8_t* map(std::uint64_t offset, std::size_t size) override;

  private:
    explicit InputFile(std::FILE* file) : file_(file) {}
    std::FILE* file_;
    platform::Mapping mapping_;
};

using platform::CommitResult;
using platform::Durability;

// An output written to a file that takes its path only when committed; discarded otherwise.
class OutputFile final : public ByteSink {
  public:
    // Starts an output for `path`; null when `path` cannot be created or replaced.
    static std::unique_ptr<OutputFile> create(const std::string& path);
    ~OutputFile() override;

    bool write(const std::uint8_t* buf, std::size_t n) override;
    bool write_spans(const ByteSpan* spans, std::size_t count) override;
    // Flushes (and, if asked, syncs) the file and moves it over the output path.
    CommitResult commit(Durability durability);

  private:
    explicit OutputFile(platform::PendingFile pending) : pending_(std::move(pending)) {}
    platform::PendingFile pending_;
    bool failed_ = false;
};

}  // namespace palmconv
