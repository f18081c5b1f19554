// The few file operations that differ between operating systems.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "byte_stream.hpp"
#include "output_path.hpp"

namespace palmconv::platform {

// Settles process-wide behaviour the file code relies on (a full file limit must fail a write, not
// end the process; an interrupt must not leave a temporary file).
void prepare_process();

// How this system spells paths.
PathSyntax path_syntax();

// Opens an existing file for reading, refusing exactly what an open for reading and update
// refuses (missing, a folder, read-only, locked); shared with other openers; null on failure.
std::FILE* open_input(const std::string& path);

// Moves to a 64-bit offset from the start; false on failure.
bool seek_to(std::FILE* file, std::uint64_t offset);

// Stores the file's size in `out`, leaving the position at the end; false on failure.
bool size_of(std::FILE* file, std::uint64_t& out);

// A read-only view of part of a file.
struct Mapping {
    void* address = nullptr;
    std::size_t size = 0;
};

// Maps `size` bytes of `file` from `offset`, read ahead, in place of the view `mapping` held;
// the address of the byte at `offset`, or null where the file cannot be mapped.
const std::uint8_t* map_view(std::FILE* file, std::uint64_t offset, std::size_t size,
                             Mapping& mapping);

// Releases the view, if any.
void unmap_view(Mapping& mapping);

// False when `target` exists and is a folder or a file that may not be written.
bool may_replace(const std::string& target);

// A file being written in the folder of its target, which takes the target's name only once it
// is committed; a process that ends any other way leaves nothing of it where the system allows.
struct PendingFile {
    std::FILE* stream = nullptr;
    std::string target;
    std::string temp_path;  // its name while it has one that is not yet the target's
};

// Starts the file that will replace `target`; false when it cannot be created.
bool create_pending(const std::string& target, PendingFile& pending);

// Writes the spans in order, straight to the file where the system allows; false on failure.
bool write_spans(std::FILE* file, const ByteSpan* spans, std::size_t count);

enum class CommitResult { done, not_replaceable, write_failed };

// How far the bytes must have gone before the output replaces what is at its path.
enum class Durability { handed_to_system, on_disk };

// Flushes (and, if asked, syncs) the complete file, moves it over its target and closes it; on
// failure the file is discarded and the target left as it was.
CommitResult commit_pending(PendingFile& pending, Durability durability);

// Closes and removes a file that was not committed.
void discard_pending(PendingFile& pending);

}  // namespace palmconv::platform
