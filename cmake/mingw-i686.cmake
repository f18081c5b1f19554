# Cross-builds the 32-bit Windows console program with mingw-w64.
set(PALMCONV_MINGW_CPU i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
