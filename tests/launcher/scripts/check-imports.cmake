# Fails when PROGRAM imports, directly or delayed, a DLL that is not one of the system's known DLLs: any other
# would be looked for beside the program first, where a download folder may hold a planted one.
# Usage: cmake -DOBJDUMP=<objdump> -DPROGRAM=<exe> -P check-imports.cmake
cmake_minimum_required(VERSION 3.16)
# ntdll is no entry of that list, but every process has it mapped from System32 before anything else.
set(known_dlls ntdll advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf msvcrt
    normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 wldap32 ws2_32)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${result}")
endif()
# objdump lists only the import table by name; a delay-import table must not exist at all.
if(dump MATCHES "Entry d ([0-9a-fA-F]+) ([0-9a-fA-F]+) Delay Import Directory" AND NOT CMAKE_MATCH_2 MATCHES "^0+$")
  message(FATAL_ERROR "${PROGRAM} has a delay-import table")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" entries "${dump}")
if(NOT entries)
  message(FATAL_ERROR "no import table found in ${PROGRAM}")
endif()
set(foreign "")
foreach(entry ${entries})
  string(REGEX REPLACE "DLL Name: (.+)\\.[dD][lL][lL]$" "\\1" name "${entry}")
  string(TOLOWER "${name}" name)
  if(NOT name IN_LIST known_dlls)
    list(APPEND foreign "${entry}")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that are not known system DLLs: ${foreign}")
endif()
list(LENGTH entries count)
message(STATUS "${count} imported DLLs, all known system DLLs")
