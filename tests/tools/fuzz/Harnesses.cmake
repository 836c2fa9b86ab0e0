# The fuzz harnesses of the sanitizer tree: the packer core instrumented for coverage over the in-memory files,
# one libFuzzer program per harness, with the checks they share and the launcher the Windows tree built.
file(GLOB_RECURSE core_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/core/*.cpp)
add_library(kr_fuzz_core STATIC ${core_sources} ${PROJECT_SOURCE_DIR}/share/native/common/Crc32c.cpp
  MemoryPlatform.cpp PackChecks.cpp ShapedLauncher.cpp)
target_include_directories(kr_fuzz_core PUBLIC ${PROJECT_SOURCE_DIR}/tools/core
  ${PROJECT_SOURCE_DIR}/share/native/common ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(kr_fuzz_core PRIVATE KR_VERSION_TEXT="${PROJECT_VERSION}")
target_compile_definitions(kr_fuzz_core PUBLIC KR_FUZZ_LAUNCHER="${KR_LAUNCHER}")
target_compile_options(kr_fuzz_core PUBLIC -fsanitize=fuzzer-no-link)
target_link_libraries(kr_fuzz_core PUBLIC kr_flags)

foreach(harness read-setup pack-launcher parsers icon package-icon tree-shapes)
  add_executable(fuzz-${harness} fuzz-${harness}.cpp)
  target_link_libraries(fuzz-${harness} PRIVATE kr_fuzz_core)
  target_link_options(fuzz-${harness} PRIVATE -fsanitize=fuzzer)
endforeach()
