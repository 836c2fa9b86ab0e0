# Cross toolchain: 64-bit Windows programs built on Linux with mingw-w64 (posix threads; the launcher takes the
# compiler of the win32 thread model, see kr_make_lean in Kestrel.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KR_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KR_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KR_TRIPLE}-g++-posix)
set(KR_WIN32_THREADS_CXX_COMPILER ${KR_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${KR_TRIPLE}-windres)
set(CMAKE_AR ${KR_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KR_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KR_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
