// The few file operations that differ between operating systems.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "byte_stream.hpp"
#include "output_path.hpp"

namespace palmconv::platform {

// Settles process-wide behaviour the file code relies on (a full file limit must fail a write, not
// end the process; an interrupt must not leave a temporary file).
void prepare_process();

// Leaves what an interrupt would of an unfinished output (no temporary file; an in-place output
// as it was, or cut to nothing), for a run that must end at once; safe in a signal handler.
void abandon_outputs();

// The signals whose handling prepare_process() changed for this program's own use, and which a
// program it starts should get back at their defaults; none where there are no signals.
std::vector<int> signals_set_aside();

// How this system spells paths.
PathSyntax path_syntax();

// Opens an existing file for reading, refusing exactly what an open for reading and update
// refuses (missing, a folder, read-only, locked); shared with other openers; null on failure.
std::FILE* open_input(const std::string& path);

// Moves to a 64-bit offset from the start; false on failure.
bool seek_to(std::FILE* file, std::uint64_t offset);

// Stores the file's size in `out`, leaving the position at the end; false on failure.
bool size_of(std::FILE* file, std::uint64_t& out);

// Memory for the block records are copied through, its pages taken at once where the system
// allows (cheaper than a fault for each), starting `file_offset`'s distance into a page, so that
// the system copies it to that offset of a file with every page aligned; empty when there is none.
MutableSpan allocate_block(std::size_t size, std::uint64_t file_offset);

// Gives back what allocate_block gave.
void release_block(MutableSpan block);

// Reads the next bytes of `file` into each span in turn, as one scattered read where the system
// allows; returns how many were read in all (fewer only at the end or on error).
std::size_t read_spans(std::FILE* file, const MutableSpan* spans, std::size_t count);

// What stands at an output path, as far as choosing how to write the output goes.
enum class TargetKind {
    missing,          // nothing yet: a new file takes the name
    input,            // the input itself, under this spelling or another
    replaceable,      // a file this process may write
    not_replaceable,  // a folder, a read-only file, or anything else that may not be written
};

struct Target {
    TargetKind kind = TargetKind::missing;
    // False where a new file put in its place would lose what its owner set on it (its owner),
    // or could not take its place at all (another program holds it open, a file is mounted over
    // it, its folder lets no name be replaced).
    bool new_file_keeps_it = true;
};

// The file an output path names: the path itself, or, where it is a symbolic link, the file the
// link leads to, which is written through it; false for a link that leads nowhere.
bool follow_links(const std::string& path, std::string& target);

// Looks at what is at `target`, and whether it is (or may be) the very file open as `input`.
Target inspect_target(const std::string& target, std::FILE* input);

// What tells the input apart from other files, kept to recognize it later under any name.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modified_seconds = 0;
    std::int64_t modified_nanoseconds = 0;
};

// An output being written: a new file in the folder of its target that takes the target's name
// only once it is committed (a process that ends any other way leaves nothing of it where the
// system allows), or, in place, the old output itself.
struct PendingFile {
    std::FILE* stream = nullptr;
    std::string target;
    std::string temp_path;  // its name while it has one that is not yet the target's
    int folder = -1;        // the target's folder, held open where names are reached through it
    bool in_place = false;
    bool overwriting = false;    // in place: the old content has begun to be overwritten
    std::uint64_t old_size = 0;  // in place: the old output's size
    std::uint64_t new_size = 0;  // in place: the size the conversion will have
    FileIdentity input;          // the input, which is never written in place
    // In place: how many of the conversion's first bytes (its header) are spoiled on the disk
    // before anything else is overwritten and written only once everything else is, so that an
    // output left unfinished by any stop never passes for a database; and those bytes, held.
    std::size_t head_size = 0;
    std::vector<std::uint8_t> head;
};

// Starts the new file that will replace `target` beside the open `input`, keeping what the owner
// set on an old one (its owner and group where allowed, its permission bits, its other
// attributes where they can be read and set); false when it cannot be created.
bool create_pending(const std::string& target, std::FILE* input, PendingFile& pending);

enum class InPlaceResult { opened, not_openable, no_room };

// Opens the old output at `target` to be written over by a conversion of `size` bytes whose
// first `head_size` bytes are written last. Waits while another conversion writes it (for as
// long as that one lives), then proves room for the whole conversion before anything is
// overwritten (within the file size limit, and, where the file system cannot reserve room for
// an overwrite, free for this user); refuses the file open as `input`, or one that may be it.
// Anything but `opened` leaves the old output as it was.
InPlaceResult open_in_place(const std::string& target, std::FILE* input, std::uint64_t size,
                            std::size_t head_size, PendingFile& pending);

// Called before an in-place output's first byte is written: spoils its head on the disk and
// leaves the stream just past it; from then on a failure or an interrupt that can be answered
// cuts the file to nothing, and any stop leaves a file that does not pass for a database.
// False where the head could not be spoiled.
bool begin_overwrite(PendingFile& pending);

// Writes all `n` bytes, straight to the file where the system allows; false on failure.
bool write_all(std::FILE* file, const std::uint8_t* data, std::size_t n);

enum class CommitResult { done, not_replaceable, write_failed };

// How far the bytes must have gone before the output replaces what is at its path.
enum class Durability { handed_to_system, on_disk };

// Flushes (and, if asked, syncs) the complete file and moves it over its target, or, in place,
// gives it its final size, syncs it and writes its held head last; closes it. Where the target cannot be replaced by another file, the
// complete conversion is copied over it in place by the rules of open_in_place. On failure a new
// file is discarded and the target left as it was; an in-place output is cut to nothing.
CommitResult commit_pending(PendingFile& pending, Durability durability);

// Closes and removes a file that was not committed; an in-place output is left as it was if
// nothing was written to it yet, and cut to nothing otherwise.
void discard_pending(PendingFile& pending);

}  // namespace palmconv::platform
