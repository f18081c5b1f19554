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

struct Report {
    Outcome outcome;
    const char* message;  // written as it stands; null for none
    bool to_standard_error;
    int status;
};

// Every message the program prints.
constexpr Report reports[] = {
    {Outcome::converted, nullptr, false, 0},
    {Outcome::nothing_chosen, nullptr, false, 1},
    {Outcome::no_chooser,
     "usage: palmconv FILE (no file was named and no file chooser can be shown)\n", true, 1},
    {Outcome::file_not_found, "error: file not found\r\n", false, 1},
    {Outcome::invalid_database, "error: invalid pdb file\r\n", false, 1},
    {Outcome::output_not_found, "error: output file not found\r\n", false, 1},
    {Outcome::output_not_written, "error: output file not written\r\n", false, 1},
};

Outcome convert(int argc, char** argv) {
    std::string path;
    if (argc == 2) {
        path = argv[1];
    } else {
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
    // When the input already has the output's name, its conversion replaces it.
    const bool replaces_input = *output_path == path;
    path = *output_path;

    auto output = OutputFile::create(path);
    if (!output) return Outcome::output_not_found;
    const FormatError written = write_converted_database(layout, *input, *output);
    // Every input byte has been read; the input must be closed before it can be replaced.
    input.reset();
    if (written == FormatError::write_failed) return Outcome::output_not_written;
    if (written != FormatError::none) return Outcome::invalid_database;

    // Replacing the input replaces the only copy: its conversion must be on the disk first.
    switch (output->commit(replaces_input ? Durability::on_disk : Durability::handed_to_system)) {
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
    const Outcome outcome = convert(argc, argv);
    for (const Report& report : reports) {
        if (report.outcome != outcome) continue;
        if (report.message != nullptr) {
            std::FILE* stream = report.to_standard_error ? stderr : stdout;
            std::fputs(report.message, stream);
            std::fflush(stream);
        }
        return report.status;
    }
    return 1;
}

}  // namespace palmconv
