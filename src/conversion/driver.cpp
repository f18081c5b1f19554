#include "driver.hpp"

#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "converted_database.hpp"
#include "desktop/desktop.hpp"
#include "file_io.hpp"
#include "output_path.hpp"
#include "platform_file.hpp"

namespace palmconv {

namespace {

enum class Outcome {
    converted,
    nothing_chosen,
    no_chooser,
    file_not_found,
    invalid_database,
    output_not_found,
    output_not_written,
};

enum class Channel {
    none,
    standard_error,
    standard_output,  // and a window, when nobody may be watching the console
};

struct Report {
    Outcome outcome;
    const char* message;  // written as it stands, ending in its line end
    Channel channel;
    int status;
};

// Every message the program prints.
constexpr Report reports[] = {
    {Outcome::converted, "", Channel::none, 0},
    {Outcome::nothing_chosen, "", Channel::none, 1},
    {Outcome::no_chooser,
     "usage: palmconv FILE (exactly one file is expected, and no file chooser can be shown)\n",
     Channel::standard_error, 1},
    {Outcome::file_not_found, "error: file not found\r\n", Channel::standard_output, 1},
    {Outcome::invalid_database, "error: invalid pdb file\r\n", Channel::standard_output, 1},
    {Outcome::output_not_found, "error: output file not found\r\n", Channel::standard_output, 1},
    {Outcome::output_not_written, "error: output file not written\r\n", Channel::standard_output,
     1},
};

// How far a run has come: what a person at the desktop should see, and what to report should
// memory run out at this step.
struct Progress {
    bool person_at_desktop = false;
    Outcome without_memory = Outcome::file_not_found;
};

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
    const FormatError written = write_converted_database(layout, *input, *output);
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
    platform::prepare_process();
    Progress progress;
    progress.person_at_desktop = desktop::take_desktop_mark();
    Outcome outcome;
    try {
        outcome = convert(argc, argv, progress);
    } catch (const std::bad_alloc&) {
        // Everything the run had open was closed and discarded on the way out.
        outcome = progress.without_memory;
    }
    for (const Report& report : reports) {
        if (report.outcome != outcome) continue;
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
    return 1;
}

}  // namespace palmconv
