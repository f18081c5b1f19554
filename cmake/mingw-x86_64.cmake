# Cross-builds the Windows program as a 64-bit build with mingw-w64, for its tests where 32-bit code
# cannot run.
set(PALMCONV_MINGW_CPU x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
