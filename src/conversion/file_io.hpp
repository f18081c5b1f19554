// The driver's files: the input, and an output that appears at its path only when complete.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "byte_stream.hpp"

namespace palmconv {

// The input database, opened for reading and update and shared with other openers.
class InputFile final : public ByteSource {
  public:
    // Opens `path`; null when it cannot be opened for reading and update.
    static std::unique_ptr<InputFile> open(const std::string& path);
    ~InputFile() override;

    bool size(std::uint64_t& out) override;
    bool seek(std::uint64_t offset) override;
    std::size_t read(std::uint8_t* buf, std::size_t n) override;

  private:
    explicit InputFile(std::FILE* file) : file_(file) {}
    std::FILE* file_;
};

enum class CommitResult { done, not_replaceable, write_failed };

// How far the bytes must have gone before the output replaces what is at its path.
enum class Durability { handed_to_system, on_disk };

// An output written to a temporary file beside its path; removed unless committed.
class OutputFile final : public ByteSink {
  public:
    // Starts an output for `path`; null when `path` cannot be created or replaced.
    static std::unique_ptr<OutputFile> create(const std::string& path);
    ~OutputFile() override;

    bool write(const std::uint8_t* buf, std::size_t n) override;
    bool write_spans(const ByteSpan* spans, std::size_t count) override;
    // Flushes (and, if asked, syncs) and closes the temporary file, then moves it over the output
    // path.
    CommitResult commit(Durability durability);

  private:
    OutputFile(std::FILE* file, std::string path, std::string temp_path)
        : file_(file), path_(std::move(path)), temp_path_(std::move(temp_path)) {}
    std::FILE* file_;
    std::string path_;
    std::string temp_path_;
    bool failed_ = false;
};

}  // namespace palmconv
