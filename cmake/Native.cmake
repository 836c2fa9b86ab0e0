# The native tree: kestrel-pack built with the host compiler for the build machine, its core tests, and the
# installation of the packer with the launcher that the Windows tree builds.
enable_testing()

set(KR_LAUNCHER ${CMAKE_BINARY_DIR}/../bin/kestrel-launcher.exe CACHE FILEPATH
  "kestrel-launcher.exe of the Windows tree: installed beside the packer and packed by its tests")
set(KR_PACK_BIN_DIR ${CMAKE_BINARY_DIR}/bin CACHE PATH "Where the native kestrel-pack is built")

# Project code: high warnings as errors, repo-relative source paths.
add_library(kr_flags INTERFACE)
target_compile_options(kr_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)

add_subdirectory(tools)
add_subdirectory(tests/tools/core)
