# Cross build for 32-bit Windows with MinGW-w64. MINGW_THREAD_MODEL picks the compiler variant:
# "win32" (no std::thread; the shipped tool) or "posix" (what GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MINGW_THREAD_MODEL "win32" CACHE STRING "MinGW-w64 thread model: win32 or posix")
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

