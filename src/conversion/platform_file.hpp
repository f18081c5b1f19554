// The few file operations that differ between operating systems.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "byte_stream.hpp"

namespace palmconv::platform {

// Settles process-wide behaviour the file code relies on (a full file limit must fail a write, not
// end the process).
void prepare_process();

// Opens an existing file for reading and update, sharing it with other openers; null on failure.
std::FILE* open_shared_for_update(const std::string& path);

// Moves to a 64-bit offset from the start; false on failure.
bool seek_to(std::FILE* file, std::uint64_t offset);

// Stores the file's size in `out`, leaving the position at the end; false on failure.
bool size_of(std::FILE* file, std::uint64_t& out);

// False when `target` exists and is a folder or a file that may not be written.
bool may_replace(const std::string& target);

// Creates a new, uniquely named file in the folder of `target` and opens it for writing; null on
// failure.
std::FILE* create_temporary_beside(const std::string& target, std::string& temp_path);

// Writes the spans in order, straight to the file where the system allows; false on failure.
bool write_spans(std::FILE* file, const ByteSpan* spans, std::size_t count);

// Forces the file's written bytes to the disk; false on failure.
bool sync_to_disk(std::FILE* file);

// Moves `from` over `to`, replacing it; false on failure, leaving `to` as it was.
bool replace_file(const std::string& from, const std::string& to);

// Removes the temporary file made by create_temporary_beside.
void remove_temporary(const std::string& temp_path);

}  // namespace palmconv::platform
