# Cross build for 64-bit Windows with MinGW-w64: the same source as a test vehicle, run under the
# host's 64-bit Wine, that shows it free of 32-bit assumptions. Never shipped.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
