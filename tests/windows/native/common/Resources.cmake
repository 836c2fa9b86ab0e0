# RCDATA resources of test_Resources, made at build time with fixed content (empty, small, 64 MiB, and the
# small one again under the integer identifier 42); the test compares them with these files beside it.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(kr_resource_data ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/test_Resources-data)
set(kr_resource_script ${CMAKE_CURRENT_BINARY_DIR}/make_resource_data.py)
file(GENERATE OUTPUT ${kr_resource_script} CONTENT [=[
import array
import pathlib
import sys

out = pathlib.Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
(out / "empty.bin").write_bytes(b"")
(out / "small.bin").write_bytes(bytes(range(256)) + b"line\r\nnext\n\x1a\x00end")
# 64 MiB of consecutive 32-bit little-endian counters: every offset holds a different value.
(out / "large.bin").write_bytes(array.array("I", range(16 << 20)).tobytes())
]=])
set(kr_resource_files ${kr_resource_data}/empty.bin ${kr_resource_data}/small.bin ${kr_resource_data}/large.bin)
add_custom_command(OUTPUT ${kr_resource_files}
  COMMAND ${Python3_EXECUTABLE} ${kr_resource_script} ${kr_resource_data}
  DEPENDS ${kr_resource_script}
  COMMENT "Generating the resource test data"
  VERBATIM)
add_custom_target(test_Resources_data DEPENDS ${kr_resource_files})
add_dependencies(test_Resources test_Resources_data)
kr_add_rcdata(test_Resources
  empty ${kr_resource_data}/empty.bin
  small ${kr_resource_data}/small.bin
  large ${kr_resource_data}/large.bin
  42 ${kr_resource_data}/small.bin)
target_link_libraries(test_Resources PRIVATE psapi)
