# Fails when PROGRAM is larger than LIMIT bytes: the launcher travels inside every product's download.
# Usage: cmake -DPROGRAM=<exe> -DLIMIT=<bytes> -P check-size.cmake
cmake_minimum_required(VERSION 3.16)
file(SIZE ${PROGRAM} size)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${PROGRAM} is ${size} bytes, over its budget of ${LIMIT} bytes")
endif()
message(STATUS "${PROGRAM} is ${size} bytes, within its budget of ${LIMIT} bytes")
