# The part of the MinGW-w64 cross toolchains that does not depend on the target: the caller sets
# MINGW_TRIPLET (i686-w64-mingw32, x86_64-w64-mingw32) and CMAKE_SYSTEM_PROCESSOR first.
# MINGW_THREAD_MODEL picks the compiler variant: "win32" (no std::thread; the shipped tool) or
# "posix" (what GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)

set(MINGW_THREAD_MODEL "win32" CACHE STRING "MinGW-w64 thread model: win32 or posix")
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
