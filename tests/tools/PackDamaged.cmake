# Damaged packages through kestrel-pack.exe under Wine, beside the native packer. And test_kestrel-pack, which packs
# in its own process, serves as its own package reader, as kestrel-pack.exe does.
target_sources(test_kestrel-pack PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/ReaderTestMain.cpp)
target_include_directories(test_kestrel-pack PRIVATE ${PROJECT_SOURCE_DIR}/tools/windows
  ${PROJECT_SOURCE_DIR}/tools/posix)

# A package whose Icon row is too large for an icon; wixl takes a SourceFile relative to where it runs.
set(KR_ICONIC_HUGE_MSI ${KR_TEST_PACKAGES_DIR}/kr-iconic-huge.msi)
add_custom_command(OUTPUT ${KR_ICONIC_HUGE_MSI}
  COMMAND ${Python3_EXECUTABLE} -c "open('kr-huge.ico', 'wb').write(bytes(17 << 20))"
  COMMAND ${KR_WIXL} -D IconFile=kr-huge.ico -o ${KR_ICONIC_HUGE_MSI} ${CMAKE_CURRENT_SOURCE_DIR}/kr-iconic.wxs
  COMMAND ${CMAKE_COMMAND} -E remove kr-huge.ico
  WORKING_DIRECTORY ${KR_TEST_PACKAGES_DIR}
  DEPENDS kr-iconic.wxs
  VERBATIM)
add_custom_target(kr_damaged_test_packages ALL DEPENDS ${KR_ICONIC_HUGE_MSI})

add_test(NAME test_damaged_packages_wine
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/damaged/damaged-packages-wine-test.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
          ${KR_ICONIC_ICO_MSI} ${KR_ICONIC_HUGE_MSI})
set_tests_properties(test_damaged_packages_wine PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

# The reading child's time limit and answer check on Windows, the program its own reader as well.
target_sources(test_ReadingChild PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/ReaderTestMain.cpp)
target_include_directories(test_ReadingChild PRIVATE ${PROJECT_SOURCE_DIR}/tools/windows
  ${PROJECT_SOURCE_DIR}/tools/posix)
target_link_libraries(test_ReadingChild PRIVATE kestrel_pack)
