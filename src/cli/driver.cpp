// The program's run, step by step: the only place that prints and chooses the exit status.
#include "driver.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "converted_database.hpp"
#include "desktop/desktop.hpp"
#include "files/file_io.hpp"
#include "files/platform_file.hpp"
#include "messages.hpp"
#include "output_path.hpp"

namespace palmconv {

namespace {

// How far a run has come: what a person at the desktop should see, and what to report should
// memory run out at this step.
struct Progress {
    bool person_at_desktop = false;
    Outcome without_memory = Outcome::file_not_found;
};

// The run's progress, for the end it takes when memory runs out.
Progress* progress_of_run = nullptr;

// Ends the run where memory ran out, without throwing: at the tightest limits there is not even
// memory for an exception. What the run had begun of an output is undone first.
[[noreturn]] void end_without_memory() {
    platform::abandon_outputs();
    const Report& report = report_for(progress_of_run != nullptr
                                          ? progress_of_run->without_memory
                                          : Outcome::file_not_found);
    if (report.channel != Channel::none) {
        std::FILE* stream = report.channel == Channel::standard_error ? stderr : stdout;
        std::fputs(report.message, stream);
        std::fflush(stream);
    }
    std::_Exit(report.status);
}

Outcome convert(int argc, char** argv, Progress& progress) {
    std::string path;
    if (argc == 2) {
        path = argv[1];
    } else {
        progress.person_at_desktop = true;
        desktop::Choice choice = desktop::choose_input();
        if (!choice.could_ask) return Outcome::no_chooser;
        if (choice.path.empty()) return Outcome::nothing_chosen;
        path = std::move(choice.path);
    }

    auto input = InputFile::open(path);
    if (!input) return Outcome::file_not_found;

    progress.without_memory = Outcome::invalid_database;
    ConvertedLayout layout;
    if (prepare_conversion(*input, layout) != FormatError::none) return Outcome::invalid_database;

    const std::optional<std::string> output_path = output_path_for(path, platform::path_syntax());
    if (!output_path) return Outcome::output_not_found;
    path = *output_path;

    progress.without_memory = Outcome::output_not_written;
    OutputStart start = OutputStart::not_found;
    auto output = OutputFile::create(path, *input, layout.output_size, start);
    if (start == OutputStart::no_room) return Outcome::output_not_written;
    if (!output) return Outcome::output_not_found;
    const CopyBlock block(copy_block_size(layout), layout.head.size());
    if (block.span().data == nullptr) return progress.without_memory;
    const FormatError written = write_converted_database(layout, *input, *output, block.span());
    // Every input byte has been read; the input must be closed before it can be replaced.
    input.reset();
    if (written == FormatError::write_failed) return Outcome::output_not_written;
    if (written != FormatError::none) return Outcome::invalid_database;

    switch (output->commit()) {
        case CommitResult::done:
            break;
        case CommitResult::not_replaceable:
            return Outcome::output_not_found;
        case CommitResult::write_failed:
            return Outcome::output_not_written;
    }
    output.reset();
    desktop::launch(path, progress.person_at_desktop);
    return Outcome::converted;
}

}  // namespace

int run(int argc, char** argv) {
    Progress progress;
    progress_of_run = &progress;
    std::set_new_handler(end_without_memory);
    platform::prepare_process();
    progress.person_at_desktop = desktop::take_desktop_mark();
    Outcome outcome;
    try {
        outcome = convert(argc, argv, progress);
    } catch (const std::bad_alloc&) {
        // Everything the run had open was closed and discarded on the way out.
        outcome = progress.without_memory;
    }
    const Report& report = report_for(outcome);
    if (report.channel == Channel::none) return report.status;
    std::FILE* stream = report.channel == Channel::standard_error ? stderr : stdout;
    std::fputs(report.message, stream);
    std::fflush(stream);
    if (report.channel == Channel::standard_output) {
        try {
            std::string text = report.message;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                text.pop_back();
            }
            desktop::show_failure(text, progress.person_at_desktop);
        } catch (const std::bad_alloc&) {
            // The message is printed; without memory there is no window to show it in.
        }
    }
    return report.status;
}

}  // namespace palmconv
