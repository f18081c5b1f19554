// The command-line program's entry.
#include "driver.hpp"

int main(int argc, char** argv) { return palmconv::run(argc, argv); }
