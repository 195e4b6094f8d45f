# Cross build for 64-bit Windows with MinGW-w64: the same source as a test vehicle that runs on
# every machine, including those that run no 32-bit code. Never shipped.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
