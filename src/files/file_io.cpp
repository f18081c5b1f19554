// The driver's input and output files, on the system's platform file operations.
#include "file_io.hpp"

#include <algorithm>

#include "converted_database.hpp"
#include "platform_file.hpp"

namespace palmconv {

namespace {

// The bytes of an output written in place that are spoiled first and written last: its header,
// without which no file passes for a converted database.
constexpr std::size_t held_head_size = hdb::header_size;

}  // namespace

std::unique_ptr<InputFile> InputFile::open(const std::string& path) {
    std::FILE* file = platform::open_input(path);
    if (file == nullptr) return nullptr;
    return std::unique_ptr<InputFile>(new InputFile(file));
}

InputFile::~InputFile() { std::fclose(file_); }

std::size_t InputFile::read_spans(const MutableSpan* spans, std::size_t count) {
    return platform::read_spans(file_, spans, count);
}

bool InputFile::size(std::uint64_t& out) { return platform::size_of(file_, out); }

bool InputFile::seek(std::uint64_t offset) { return platform::seek_to(file_, offset); }

std::size_t InputFile::read(std::uint8_t* buf, std::size_t n) {
    return std::fread(buf, 1, n, file_);
}

std::unique_ptr<OutputFile> OutputFile::create(const std::string& output_path,
                                               const InputFile& input, std::uint64_t size,
                                               OutputStart& result) {
    using platform::TargetKind;
    result = OutputStart::not_found;
    std::string path;
    if (!platform::follow_links(output_path, path)) return nullptr;
    const platform::Target target = platform::inspect_target(path, input.file_);
    if (target.kind == TargetKind::not_replaceable) return nullptr;
    platform::PendingFile pending;
    // The input is never written in place: its records are still being read while the output
    // is written, and a failure part way would leave neither the old file nor the new.
    bool started = (target.kind != TargetKind::replaceable || target.new_file_keeps_it) &&
                   platform::create_pending(path, input.file_, pending);
    if (!started && target.kind == TargetKind::replaceable) {
        switch (platform::open_in_place(path, input.file_, size, held_head_size, pending)) {
            case platform::InPlaceResult::opened:
                started = true;
                break;
            case platform::InPlaceResult::no_room:
                result = OutputStart::no_room;
                return nullptr;
            case platform::InPlaceResult::not_openable:
                return nullptr;
        }
    }
    if (!started) return nullptr;
    // Also for a new file that may yet have to be copied over the old output in place.
    pending.head_size = held_head_size;
    result = OutputStart::started;
    return std::unique_ptr<OutputFile>(
        new OutputFile(std::move(pending), target.kind == TargetKind::input));
}

OutputFile::~OutputFile() {
    if (pending_.stream != nullptr) platform::discard_pending(pending_);
}

bool OutputFile::write(const std::uint8_t* buf, std::size_t n) {
    if (failed_) return false;
    if (pending_.in_place) {
        if (!pending_.overwriting && !platform::begin_overwrite(pending_)) {
            failed_ = true;
            return false;
        }
        // The header waits until everything after it is written.
        const std::size_t held =
            std::min(n, pending_.head_size - std::min(pending_.head_size, pending_.head.size()));
        pending_.head.insert(pending_.head.end(), buf, buf + held);
        buf += held;
        n -= held;
    }
    if (n != 0 && !platform::write_all(pending_.stream, buf, n)) failed_ = true;
    return !failed_;
}

CommitResult OutputFile::commit() {
    if (failed_) {
        platform::discard_pending(pending_);
        return CommitResult::write_failed;
    }
    // Replacing the input replaces the only copy: its conversion must be on the disk first.
    return platform::commit_pending(pending_, replaces_input_
                                                  ? platform::Durability::on_disk
                                                  : platform::Durability::handed_to_system);
}

}  // namespace palmconv
