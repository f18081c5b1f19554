#include "desktop.hpp"

namespace palmconv::desktop {

std::string choose_input() { return {}; }

void launch(const std::string&) {}

}  // namespace palmconv::desktop
