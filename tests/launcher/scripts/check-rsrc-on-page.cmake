# Fails when PROGRAM's resource section does not start on a page boundary of its file: Wine then reads the whole
# embedded package into private memory instead of mapping it.
# Usage: cmake -DOBJDUMP=<objdump> -DPROGRAM=<exe> -P check-rsrc-on-page.cmake
cmake_minimum_required(VERSION 3.16)
execute_process(COMMAND ${OBJDUMP} -h ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -h ${PROGRAM} failed: ${result}")
endif()
# A section line: index, name, size, VMA, LMA, file offset, alignment.
if(NOT dump MATCHES "\n *[0-9]+ \\.rsrc +[0-9a-f]+ +[0-9a-f]+ +[0-9a-f]+ +([0-9a-f]+) ")
  message(FATAL_ERROR "no .rsrc section in ${PROGRAM}")
endif()
set(offset ${CMAKE_MATCH_1})
if(NOT offset MATCHES "000$")
  message(FATAL_ERROR "${PROGRAM} has its resources at file offset 0x${offset}, off a page")
endif()
message(STATUS "${PROGRAM} has its resources at file offset 0x${offset}, on a page")
