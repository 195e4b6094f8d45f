# Cross build for 32-bit Windows with MinGW-w64: the shipped tool.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
