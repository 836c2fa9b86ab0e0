# Build settings and helper functions shared by every Kestrel target.

# Project code: high warnings as errors, Unicode Win32, static runtime, repo-relative source paths,
# no link time stamp (so identical inputs give identical binaries), unused code dropped at link time.
add_library(kr_flags INTERFACE)
target_compile_definitions(kr_flags INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0601 WINVER=0x0601)
target_compile_options(kr_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror
  -ffunction-sections -fdata-sections
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
  -ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/)
target_link_options(kr_flags INTERFACE -static -static-libgcc -static-libstdc++
  -Wl,--no-insert-timestamp -Wl,--gc-sections)

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(KR_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
set(KR_WINE_SESSION ${CMAKE_SOURCE_DIR}/cmake/wine-session)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${KR_WINE_DIR}/run @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KR_WINE_DIR}/run)

# kr_add_rcdata(<target> <name> <file> [<name> <file> ...])
# Links raw-data (type 10) resources into <target> under the given names.
function(kr_add_rcdata target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_rcdata.rc)
  set(text "")
  set(deps "")
  list(LENGTH ARGN count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET ARGN ${i} name)
    list(GET ARGN ${j} file)
    string(APPEND text "${name} RCDATA \"${file}\"\n")
    list(APPEND deps ${file})
  endforeach()
  file(GENERATE OUTPUT ${rc} CONTENT "${text}")
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${deps}")
endfunction()

# The most the stripped launcher may weigh: it travels inside every product's download.
set(KR_LAUNCHER_SIZE_BUDGET 196608)

# kr_make_lean(<target>)
# Builds <target> as the launcher is built: for size (-Os, link-time optimisation) and with the compiler of the
# win32 thread model, whose runtime brings no threading library. The launcher is single-threaded; the tests keep
# the posix thread model for std::thread. Its sources compile basic_string's members themselves
# (lean-string-instances.h), so that the link keeps only those called rather than the library's whole string
# instances. Link-time optimisation keeps to one partition: GCC 12 for this target
# stops with an internal compiler error in its alias pass when the launcher's code is split into several.
function(kr_make_lean target)
  find_program(KR_WIN32_THREADS_CXX ${KR_WIN32_THREADS_CXX_COMPILER} REQUIRED)
  set(launcher ${CMAKE_SOURCE_DIR}/cmake/use-compiler ${KR_WIN32_THREADS_CXX})
  set_target_properties(${target} PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON
    CXX_COMPILER_LAUNCHER "${launcher}" CXX_LINKER_LAUNCHER "${launcher}")
  target_compile_options(${target} PRIVATE -Os -include ${CMAKE_SOURCE_DIR}/cmake/lean-string-instances.h)
  target_link_options(${target} PRIVATE -Os -flto-partition=one)
endfunction()

# kr_put_resources_on_page(<target>)
# Links <target> with its sections packed at 512 bytes in the file, then moves its resource section onto a page
# boundary of the file: Wine maps a section from the file only from there, and would otherwise copy the whole
# embedded package into private memory. Aligning every section to a page instead would pad about ten of them.
function(kr_put_resources_on_page target)
  target_link_options(${target} PRIVATE -Wl,--file-alignment,512)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/place-rsrc.py onto-page $<TARGET_FILE:${target}>
      $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# kr_add_launcher(<target> [EXCLUDE_FROM_ALL] [UNSTRIPPED] [LINK_OPTIONS <option>...] [RCDATA <name> <file>...])
# The launcher program of launcher/, built lean (kr_make_lean), stripped (UNSTRIPPED: not) and with its resources
# on a page of the file (kr_put_resources_on_page).
function(kr_add_launcher target)
  cmake_parse_arguments(L "EXCLUDE_FROM_ALL;UNSTRIPPED" "" "LINK_OPTIONS;RCDATA" ${ARGN})
  set(exclude "")
  if(L_EXCLUDE_FROM_ALL)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  set(strip -s)
  if(L_UNSTRIPPED)
    set(strip "")
  endif()
  add_executable(${target} WIN32 ${exclude} ${CMAKE_SOURCE_DIR}/launcher/main.cpp
    ${CMAKE_SOURCE_DIR}/launcher/TerminateHandler.cpp ${CMAKE_SOURCE_DIR}/launcher/launcher.rc)
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/launcher/generated)
  target_link_libraries(${target} PRIVATE kestrel_common_lean)
  kr_make_lean(${target})
  target_link_options(${target} PRIVATE ${strip} ${L_LINK_OPTIONS})
  kr_put_resources_on_page(${target})
  if(L_RCDATA)
    kr_add_rcdata(${target} ${L_RCDATA})
  endif()
endfunction()
