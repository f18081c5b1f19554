// How a run can end, and the one table of what the program says for each ending.
#pragma once

namespace palmconv {

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

// What is reported for `outcome`.
const Report& report_for(Outcome outcome);

}  // namespace palmconv
