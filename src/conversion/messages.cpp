// The program's one table of messages and exit statuses.
#include "messages.hpp"

namespace palmconv {

namespace {

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

}  // namespace

const Report& report_for(Outcome outcome) {
    for (const Report& report : reports) {
        if (report.outcome == outcome) return report;
    }
    return reports[0];  // every outcome is in the table
}

}  // namespace palmconv
