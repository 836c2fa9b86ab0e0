# The native tree: kestrel-pack built with the host compiler for the build machine, its core tests, the
# installation of the packer with the launcher that the Windows tree builds and its CMake package, and the
# sanitizer tree for fuzzing.

set(KR_LAUNCHER ${CMAKE_BINARY_DIR}/../bin/kestrel-launcher.exe CACHE FILEPATH
  "kestrel-launcher.exe of the Windows tree: installed beside the packer and packed by its tests")
set(KR_PACK_BIN_DIR ${CMAKE_BINARY_DIR}/bin CACHE PATH "Where the native kestrel-pack is built")
# The sanitizer tree, which the native tree builds inside itself with clang (tests/tools/fuzz).
option(KR_SANITIZED "This is the sanitizer tree: kestrel-pack and the fuzz harnesses with ASan and UBSan" OFF)

# Project code: high warnings as errors, repo-relative source paths.
add_library(kr_flags INTERFACE)
target_compile_options(kr_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)

if(KR_SANITIZED)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_subdirectory(tools)
  add_subdirectory(tests/tools/fuzz)
  return()
endif()

add_subdirectory(tools)
# The tests, left out of a tree configured with -DBUILD_TESTING=OFF to install only.
option(BUILD_TESTING "Build the tests" ON)
if(BUILD_TESTING)
  enable_testing()
  add_subdirectory(tests/tools/core)
  add_subdirectory(tests/tools/fuzz)
  add_subdirectory(tests/dist)
endif()
