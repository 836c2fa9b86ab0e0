# test_WinErrorHandling carries a message table of its own to check how descriptions are cleaned.
set(KR_MESSAGE_TABLE ${CMAKE_CURRENT_BINARY_DIR}/messages.bin)
add_custom_command(OUTPUT ${KR_MESSAGE_TABLE}
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/make-message-table.py ${KR_MESSAGE_TABLE}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/make-message-table.py)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/messages.rc CONTENT "1 MESSAGETABLE \"${KR_MESSAGE_TABLE}\"\n")
target_sources(test_WinErrorHandling PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/messages.rc)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/messages.rc PROPERTIES OBJECT_DEPENDS ${KR_MESSAGE_TABLE})
