# The packer's tests: their own packages (one small, one of 256 MiB, four with icons) and the programs they run.
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
# Icons made at build time: an .ico of four sizes, and kr-iconic.exe, whose first group (by name, ahead of group 1)
# has three other sizes; and a package whose Icon row holds each.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(KR_ICON_ICO ${KR_TEST_PACKAGES_DIR}/kr-icon.ico)
set(exe_icon ${CMAKE_CURRENT_BINARY_DIR}/kr-iconic-exe.ico)
add_custom_command(OUTPUT ${KR_ICON_ICO} ${exe_icon}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KR_TEST_PACKAGES_DIR}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/examples/make-icon.py ${KR_ICON_ICO} 16,32,48,256
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/examples/make-icon.py ${exe_icon} 16,24,64
  DEPENDS ${PROJECT_SOURCE_DIR}/examples/make-icon.py
  VERBATIM)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/kr-iconic.rc
  CONTENT "KR_MAIN ICON \"${exe_icon}\"\n1 ICON \"${KR_ICON_ICO}\"\n")
add_executable(kr-iconic kr-iconic.cpp ${CMAKE_CURRENT_BINARY_DIR}/kr-iconic.rc)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/kr-iconic.rc PROPERTIES
  OBJECT_DEPENDS "${KR_ICON_ICO};${exe_icon}")
# A 32-bit program's icon of three sizes more, crafted as bytes (no 32-bit compiler needed).
set(iconic32_ico ${CMAKE_CURRENT_BINARY_DIR}/kr-iconic32.ico)
set(KR_ICONIC32_EXE ${KR_TEST_PACKAGES_DIR}/kr-iconic32.exe)
add_custom_command(OUTPUT ${KR_ICONIC32_EXE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KR_TEST_PACKAGES_DIR}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/examples/make-icon.py ${iconic32_ico} 20,40,256
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/crafted/craft.py --pe32-icon ${iconic32_ico}
          ${KR_ICONIC32_EXE}
  DEPENDS ${PROJECT_SOURCE_DIR}/examples/make-icon.py crafted/craft.py
  VERBATIM)
set(KR_ICONIC_ICO_MSI ${KR_TEST_PACKAGES_DIR}/kr-iconic-ico.msi)
set(KR_ICONIC_EXE_MSI ${KR_TEST_PACKAGES_DIR}/kr-iconic-exe.msi)
set(KR_ICONIC_PE32_MSI ${KR_TEST_PACKAGES_DIR}/kr-iconic-pe32.msi)
set(KR_ICONIC_TEXT_MSI ${KR_TEST_PACKAGES_DIR}/kr-iconic-text.msi)
# Icon rows of an .ico file, a 64-bit and a 32-bit executable, and a text file. wixl takes a SourceFile relative
# to the directory it runs in.
foreach(form ico exe pe32 text)
  if(form STREQUAL ico)
    set(icon_dir ${KR_TEST_PACKAGES_DIR})
    set(icon_name kr-icon.ico)
  elseif(form STREQUAL exe)
    set(icon_dir $<TARGET_FILE_DIR:kr-iconic>)
    set(icon_name $<TARGET_FILE_NAME:kr-iconic>)
  elseif(form STREQUAL pe32)
    set(icon_dir ${KR_TEST_PACKAGES_DIR})
    set(icon_name kr-iconic32.exe)
  else()
    set(icon_dir ${CMAKE_CURRENT_SOURCE_DIR}/files)
    set(icon_name notes.txt)
  endif()
  add_custom_command(OUTPUT ${KR_TEST_PACKAGES_DIR}/kr-iconic-${form}.msi
    COMMAND ${KR_WIXL} -D IconFile=${icon_name} -o ${KR_TEST_PACKAGES_DIR}/kr-iconic-${form}.msi
            ${CMAKE_CURRENT_SOURCE_DIR}/kr-iconic.wxs
    WORKING_DIRECTORY ${icon_dir}
    DEPENDS kr-iconic.wxs ${KR_ICON_ICO} $<TARGET_FILE:kr-iconic> ${KR_ICONIC32_EXE} files/notes.txt
    VERBATIM)
endforeach()
add_custom_target(kr_pack_test_packages
  DEPENDS ${KR_PACKTEST_MSI} ${KR_BIG_MSI} ${KR_ICONIC_ICO_MSI} ${KR_ICONIC_EXE_MSI} ${KR_ICONIC_PE32_MSI}
          ${KR_ICONIC_TEXT_MSI})
add_dependencies(kr_pack_test_packages kr-iconic)

kr_path_from_bin(KR_PACKTEST_MSI_FROM_BIN ${KR_PACKTEST_MSI})
kr_path_from_bin(KR_BIG_MSI_FROM_BIN ${KR_BIG_MSI})
kr_path_from_bin(KR_ICON_ICO_FROM_BIN ${KR_ICON_ICO})
kr_path_from_bin(KR_ICONIC_ICO_MSI_FROM_BIN ${KR_ICONIC_ICO_MSI})
kr_path_from_bin(KR_ICONIC_EXE_MSI_FROM_BIN ${KR_ICONIC_EXE_MSI})
kr_path_from_bin(KR_ICONIC32_EXE_FROM_BIN ${KR_ICONIC32_EXE})
kr_path_from_bin(KR_ICONIC_PE32_MSI_FROM_BIN ${KR_ICONIC_PE32_MSI})
kr_path_from_bin(KR_ICONIC_TEXT_MSI_FROM_BIN ${KR_ICONIC_TEXT_MSI})
configure_file(krpack.h.in ${CMAKE_CURRENT_BINARY_DIR}/include/krpack.h @ONLY)

foreach(test test_kestrel-pack test_MsiDatabase)
  target_include_directories(${test} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/include)
  add_dependencies(${test} kr_pack_test_packages)
endforeach()
target_link_libraries(test_kestrel-pack PRIVATE kestrel_pack psapi imagehlp shell32)
add_dependencies(test_kestrel-pack kestrel-pack kestrel-launcher kr-spawn)

# The native packer against kestrel-pack.exe, run from bash under the same Wine session: the same bytes and
# messages, and its setup installs.
add_test(NAME test_kestrel-pack-native
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/native-packer-test.sh
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${KR_PACKTEST_MSI} ${KR_SAMPLE_MSI} ${KR_ICONIC_EXE_MSI})
set_tests_properties(test_kestrel-pack-native PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 240
  RESOURCE_LOCK ${KR_INSTALLER_LOCK})
set_tests_properties(test_kestrel-pack PROPERTIES RESOURCE_LOCK ${KR_INSTALLER_LOCK})

# A packed setup signed with a throwaway certificate: verified, read by --info and --extract, installed.
add_test(NAME test_kestrel-pack-signing
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/signing-test.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${KR_PACKTEST_MSI})
set_tests_properties(test_kestrel-pack-signing PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 240
  RESOURCE_LOCK ${KR_INSTALLER_LOCK})

# The native packer against kestrel-pack.exe over a sample of crafted, fuzz-found and real files: the same exit
# codes, output files and lines for --info, --extract and packing.
add_test(NAME test_kestrel-pack-differential
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/differential-test.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${KR_PACKTEST_MSI}
          ${KR_ICONIC_EXE_MSI} ${CMAKE_CURRENT_SOURCE_DIR}/crafted/craft.py ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
set_tests_properties(test_kestrel-pack-differential PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)
