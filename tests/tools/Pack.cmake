# The packer's tests: their own packages (one small, one of 256 MiB) and the programs they run.
set(KR_PACKTEST_PRODUCT_CODE "{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}")
set(KR_BIG_PRODUCT_CODE "{C8E4B1A7-2F6D-4B93-8A1E-5D7C9B3F0A26}")
set(KR_PACKTEST_MSI ${KR_TEST_PACKAGES_DIR}/kr-packtest.msi)
set(KR_BIG_MSI ${KR_TEST_PACKAGES_DIR}/kr-big.msi)

add_custom_command(OUTPUT ${KR_PACKTEST_MSI}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KR_TEST_PACKAGES_DIR}
  COMMAND ${KR_WIXL} -D ProductCode=${KR_PACKTEST_PRODUCT_CODE} -D UpgradeCode={0B3E7D21-9C4F-4A86-B5D2-7E1F3C8A9B54}
          -o ${KR_PACKTEST_MSI} kr-packtest.wxs
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
  DEPENDS kr-packtest.wxs files/packtest.txt files/notes.txt
  COMMENT "Building test package ${KR_PACKTEST_MSI}"
  VERBATIM)

kr_wixl_payload_package(${KR_BIG_MSI} ${CMAKE_CURRENT_SOURCE_DIR}/kr-big.wxs
  ${KR_BIG_PRODUCT_CODE} {E2A9C6F3-1B8D-4D57-9F0E-6A3B8C2D7E15} 268435456)
add_custom_target(kr_pack_test_packages DEPENDS ${KR_PACKTEST_MSI} ${KR_BIG_MSI})

kr_path_from_bin(KR_PACKTEST_MSI_FROM_BIN ${KR_PACKTEST_MSI})
kr_path_from_bin(KR_BIG_MSI_FROM_BIN ${KR_BIG_MSI})
configure_file(krpack.h.in ${CMAKE_CURRENT_BINARY_DIR}/include/krpack.h @ONLY)

foreach(test test_kestrel-pack test_MsiDatabase)
  target_include_directories(${test} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/include)
  add_dependencies(${test} kr_pack_test_packages)
endforeach()
target_link_libraries(test_kestrel-pack PRIVATE kestrel_pack psapi imagehlp)
add_dependencies(test_kestrel-pack kestrel-pack kestrel-launcher kr-spawn)

# The native packer against kestrel-pack.exe, run from bash under the same Wine session: the same bytes and
# messages, and its setup installs.
add_test(NAME test_kestrel-pack-native
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/native-packer-test.sh
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${KR_PACKTEST_MSI} ${KR_SAMPLE_MSI})
set_tests_properties(test_kestrel-pack-native PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 240
  RESOURCE_LOCK ${KR_INSTALLER_LOCK})
set_tests_properties(test_kestrel-pack PROPERTIES RESOURCE_LOCK ${KR_INSTALLER_LOCK})

# A packed setup signed with a throwaway certificate: verified, read by --info and --extract, installed.
add_test(NAME test_kestrel-pack-signing
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/signing-test.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${KR_PACKTEST_MSI})
set_tests_properties(test_kestrel-pack-signing PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 240
  RESOURCE_LOCK ${KR_INSTALLER_LOCK})
