#include "driver.hpp"

#include <cstdio>
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
     "usage: palmconv FILE (no file was named and no file chooser can be shown)\n",
     Channel::standard_error, 1},
    {Outcome::file_not_found, "error: file not found\r\n", Channel::standard_output, 1},
    {Outcome::invalid_database, "error: invalid pdb file\r\n", Channel::standard_output, 1},
    {Outcome::output_not_found, "error: output file not found\r\n", Channel::standard_output, 1},
    {Outcome::output_not_written, "error: output file not written\r\n", Channel::standard_output,
     1},
};

Outcome convert(int argc, char** argv, bool& input_was_chosen) {
    std::string path;
    if (argc == 2) {
        path = argv[1];
    } else {
        input_was_chosen = true;
        desktop::Choice choice = desktop::choose_input();
        if (!choice.could_ask) return Outcome::no_chooser;
        if (choice.path.empty()) return Outcome::nothing_chosen;
        path = std::move(choice.path);
    }

    auto input = InputFile::open(path);
    if (!input) return Outcome::file_not_found;

    ConvertedLayout layout;
    if (prepare_conversion(*input, layout) != FormatError::none) return Outcome::invalid_database;

    const std::optional<std::string> output_path = output_path_for(path, platform::path_syntax());
    if (!output_path) return Outcome::output_not_found;
    path = *output_path;

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
    desktop::launch(path);
    return Outcome::converted;
}

}  // namespace

int run(int argc, char** argv) {
    platform::prepare_process();
    bool input_was_chosen = false;
    const Outcome outcome = convert(argc, argv, input_was_chosen);
    for (const Report& report : reports) {
        if (report.outcome != outcome) continue;
        if (report.channel == Channel::none) return report.status;
        std::FILE* stream = report.channel == Channel::standard_error ? stderr : stdout;
        std::fputs(report.message, stream);
        std::fflush(stream);
        if (report.channel == Channel::standard_output) {
            std::string text = report.message;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            desktop::show_failure(text, input_was_chosen);
        }
        return report.status;
    }
    return 1;
}

}  // namespace palmconv
