// Where the program meets the desktop: choosing the input and opening the finished output.
#pragma once

#include <string>

namespace palmconv::desktop {

// What the user chose; `path` is empty when nothing was chosen.
struct Choice {
    std::string path;
    bool could_ask = true;  // false when there is no way to show a chooser here
};

// Asks the user for the file to convert.
Choice choose_input();

// Takes out of the environment the mark that the desktop entry sets on the runs it starts, so that
// no program started from here inherits it; true when this run bore it.
bool take_desktop_mark();

// Hands `path` to the desktop's "open" operation; nothing it does is reported back. On Windows
// always; elsewhere only for a person at the desktop: the input was chosen with the chooser, or
// the desktop started the run.
void launch(const std::string& path, bool person_at_desktop);

// Shows a failure's message in a window, and waits for it to be closed, when the person who
// started the program may not be watching a console: on Windows, a console made for this
// program alone; elsewhere, a person at the desktop, as for launch().
void show_failure(const std::string& message, bool person_at_desktop);

}  // namespace palmconv::desktop
