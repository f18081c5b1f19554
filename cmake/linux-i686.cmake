# Builds the core and the command-line program as static 32-bit Linux code (g++-multilib), to run
# what only a 32-bit build can get wrong: a 32-bit size_t, offsets near 4 GiB.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The test framework is built from its Debian sources for this width.
set(PALMCONV_GTEST_SOURCE /usr/src/googletest CACHE PATH "")
# Lists the unit tests at build time whether or not the kernel runs 32-bit code.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
