# Fault tests of the launcher (test_faults): their packages, launchers and helper program, and the small disk.
set(KR_GATE_MSI ${KR_TEST_PACKAGES_DIR}/kr-gate.msi)
set(KR_BULKY_MSI ${KR_TEST_PACKAGES_DIR}/kr-bulky.msi)
set(KR_SMALL_DISK_DIR ${CMAKE_BINARY_DIR}/small-disk)
set(KR_SMALL_DISK_DRIVE k:)
set(KR_SMALL_DISK_SIZE 2m)
# Larger than the small disk, so that writing it there must fail.
set(KR_BULKY_PAYLOAD_BYTES 3145728)

kr_wixl_package(${KR_GATE_MSI} ${CMAKE_CURRENT_SOURCE_DIR}/kr-gate.wxs
  {42048DD5-D545-4A09-9313-C1F6E909E4C4} {FEDFB3DA-381D-4E1B-B0E0-8BCEA8A677A7})
kr_wixl_payload_package(${KR_BULKY_MSI} ${CMAKE_CURRENT_SOURCE_DIR}/kr-bulky.wxs
  {C2A364C8-6000-4976-9229-BDC0D0A32B9B} {15BAB67A-999C-4BBB-B075-774B04655643} ${KR_BULKY_PAYLOAD_BYTES})
add_custom_target(kr_fault_packages DEPENDS ${KR_GATE_MSI} ${KR_BULKY_MSI})

# Resources as they should never be: a product code of 1 byte, of 1 MiB, with bytes above 0x7F; no package.
kr_product_code_file(one_byte_code one-byte.code "{")
string(REPEAT "0123456789ABCDEF" 65536 mebibyte)
kr_product_code_file(mebibyte_code mebibyte.code "${mebibyte}")
string(ASCII 195 169 255 128 high_bytes)
string(SUBSTRING "${KR_SAMPLE_PRODUCT_CODE}" 0 33 code_start)
kr_product_code_file(high_bytes_code high-bytes.code "${code_start}${high_bytes}}")
file(WRITE ${KR_LAUNCHER_DATA}/empty.msi "")

kr_add_test_launcher(kr-gate-setup MSI ${KR_GATE_MSI} FOR test_faults)
kr_add_test_launcher(kr-bulky-setup MSI ${KR_BULKY_MSI} FOR test_faults)
# The product code keeps the empty package in: the linker leaves out a resource type whose only resource is empty.
kr_add_test_launcher(kr-emptymsi-setup MSI ${KR_LAUNCHER_DATA}/empty.msi CODE ${sample_code} FOR test_faults)
kr_add_test_launcher(kr-onebyte-setup CODE ${one_byte_code} FOR test_faults)
kr_add_test_launcher(kr-mebibyte-setup CODE ${mebibyte_code} FOR test_faults)
kr_add_test_launcher(kr-highbytes-setup CODE ${high_bytes_code} FOR test_faults)
foreach(launcher kr-gate-setup kr-bulky-setup)
  add_dependencies(${launcher} kr_fault_packages)
endforeach()

# The gate: a custom action of kr-gate.msi that holds the installation until the test lets it go.
add_executable(kr-gate WIN32 kr-gate.cpp)
target_link_libraries(kr-gate PRIVATE kr_flags)
target_link_options(kr-gate PRIVATE -municode)
add_dependencies(test_faults kr-gate kr-echo kr-sample-setup kr-fails-setup kr-nomsi-setup)

kr_path_from_bin(KR_BULKY_MSI_FROM_BIN ${KR_BULKY_MSI})
kr_path_from_bin(KR_GATE_MSI_FROM_BIN ${KR_GATE_MSI})
kr_path_from_bin(KR_SMALL_DISK_STATUS_FROM_BIN ${KR_SMALL_DISK_DIR}/status)
configure_file(krfaults.h.in ${CMAKE_CURRENT_BINARY_DIR}/include/krfaults.h @ONLY)
target_include_directories(test_faults PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/include)
target_link_libraries(test_faults PRIVATE kr_test_packages_info)

# The small disk lives for the fault tests only; its clean-up runs however they end.
set(small_disk ${CMAKE_CURRENT_SOURCE_DIR}/small-disk.sh)
add_test(NAME small-disk.mount
  COMMAND bash ${small_disk} mount ${KR_SMALL_DISK_DIR} ${KR_WINE_DIR}/prefix ${KR_SMALL_DISK_DRIVE} ${KR_SMALL_DISK_SIZE})
add_test(NAME small-disk.unmount
  COMMAND bash ${small_disk} unmount ${KR_SMALL_DISK_DIR} ${KR_WINE_DIR}/prefix ${KR_SMALL_DISK_DRIVE})
set_tests_properties(small-disk.mount PROPERTIES FIXTURES_SETUP small_disk FIXTURES_REQUIRED wine)
set_tests_properties(small-disk.unmount PROPERTIES FIXTURES_CLEANUP small_disk FIXTURES_REQUIRED wine)
set_tests_properties(test_faults PROPERTIES FIXTURES_REQUIRED "wine;small_disk" TIMEOUT 300
  RESOURCE_LOCK ${KR_INSTALLER_LOCK})
