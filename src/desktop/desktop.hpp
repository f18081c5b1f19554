// Where the program meets the desktop: choosing the input and opening the finished output.
#pragma once

#include <string>

namespace palmconv::desktop {

// Asks the user for the file to convert; empty when nothing was chosen.
std::string choose_input();

// Hands `path` to the desktop's "open" operation; nothing it does is reported back.
void launch(const std::string& path);

}  // namespace palmconv::desktop
