// The program's run: settle the input, convert it, report the outcome.
#pragma once

namespace palmconv {

// Runs one conversion for the command line given; returns the process exit status.
int run(int argc, char** argv);

}  // namespace palmconv
