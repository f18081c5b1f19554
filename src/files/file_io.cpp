#include "file_io.hpp"

#include "platform_file.hpp"

namespace palmconv {

namespace {
// Where writes are not gathered by the system, this collects the many small ones of short records.
constexpr std::size_t output_buffer_size = 256 * 1024;
}  // namespace

std::unique_ptr<InputFile> InputFile::open(const std::string& path) {
    std::FILE* file = platform::open_input(path);
    if (file == nullptr) return nullptr;
    // Records are read in large blocks: a stream buffer would only split each read in two.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return std::unique_ptr<InputFile>(new InputFile(file));
}

InputFile::~InputFile() {
    platform::unmap_view(mapping_);
    std::fclose(file_);
}

const std::uint8_t* InputFile::map(std::uint64_t offset, std::size_t size) {
    return platform::map_view(file_, offset, size, mapping_);
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
                   platform::create_pending(path, pending);
    if (!started && target.kind == TargetKind::replaceable) {
        switch (platform::open_in_place(path, input.file_, size, pending)) {
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
    std::setvbuf(pending.stream, nullptr, _IOFBF, output_buffer_size);
    result = OutputStart::started;
    return std::unique_ptr<OutputFile>(
        new OutputFile(std::move(pending), target.kind == TargetKind::input));
}

OutputFile::~OutputFile() {
    if (pending_.stream != nullptr) platform::discard_pending(pending_);
}

bool OutputFile::write(const std::uint8_t* buf, std::size_t n) {
    const ByteSpan span{buf, n};
    return write_spans(&span, 1);
}

bool OutputFile::write_spans(const ByteSpan* spans, std::size_t count) {
    if (pending_.in_place && !pending_.overwriting) platform::begin_overwrite(pending_);
    if (!failed_ && !platform::write_spans(pending_.stream, spans, count)) failed_ = true;
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
