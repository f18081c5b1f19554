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

// Hands `path` to the desktop's "open" operation; nothing it does is reported back.
void launch(const std::string& path);

// Shows a failure's message in a window, and waits for it to be closed, when the person who
// started the program may not be watching a console: on Windows, a console made for this
// program alone; elsewhere, a run whose input was chosen with the chooser.
void show_failure(const std::string& message, bool input_was_chosen);

}  // namespace palmconv::desktop
