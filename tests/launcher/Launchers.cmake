# Test launchers: the real launcher sources linked with test packages and product codes as RCDATA resources.
set(KR_LAUNCHER_DATA ${CMAKE_CURRENT_BINARY_DIR}/data)

# kr_product_code_file(<variable> <file name> <content>): a file of exactly <content>, no line end added.
function(kr_product_code_file variable name content)
  file(WRITE ${KR_LAUNCHER_DATA}/${name} "${content}")
  set(${variable} ${KR_LAUNCHER_DATA}/${name} PARENT_SCOPE)
endfunction()

# kr_add_test_launcher(<name> [MSI <package>] [CODE <product code file>] [FOR <test program>])
# The test program (test_launcher unless given) is built after the launcher.
function(kr_add_test_launcher name)
  cmake_parse_arguments(L "" "MSI;CODE;FOR" "" ${ARGN})
  if(NOT L_FOR)
    set(L_FOR test_launcher)
  endif()
  set(resources "")
  if(L_MSI)
    list(APPEND resources msi ${L_MSI})
  endif()
  if(L_CODE)
    list(APPEND resources product_code ${L_CODE})
  endif()
  kr_add_launcher(${name} RCDATA ${resources})
  add_dependencies(${name} kr_test_packages)
  add_dependencies(${L_FOR} ${name})
endfunction()

kr_product_code_file(sample_code sample.code "${KR_SAMPLE_PRODUCT_CODE}")
kr_product_code_file(fails_code fails.code "${KR_FAILS_PRODUCT_CODE}")
kr_product_code_file(newline_code newline.code "${KR_SAMPLE_PRODUCT_CODE}\n")
string(SUBSTRING "${KR_SAMPLE_PRODUCT_CODE}" 0 37 one_brace)
kr_product_code_file(one_brace_code one-brace.code "${one_brace}")
kr_product_code_file(empty_code empty.code "")

kr_add_test_launcher(kr-sample-setup MSI ${KR_SAMPLE_MSI} CODE ${sample_code})
kr_add_test_launcher(kr-fails-setup MSI ${KR_FAILS_MSI} CODE ${fails_code})
kr_add_test_launcher(kr-nomsi-setup CODE ${sample_code})
kr_add_test_launcher(kr-newline-setup MSI ${KR_SAMPLE_MSI} CODE ${newline_code})
kr_add_test_launcher(kr-onebrace-setup MSI ${KR_SAMPLE_MSI} CODE ${one_brace_code})
kr_add_test_launcher(kr-emptycode-setup MSI ${KR_SAMPLE_MSI} CODE ${empty_code})
target_link_libraries(test_launcher PRIVATE kr_test_packages_info)
set_tests_properties(test_launcher PROPERTIES TIMEOUT 400)
set_tests_properties(test_launcher PROPERTIES RESOURCE_LOCK ${KR_INSTALLER_LOCK})

# A planted library that records every load of itself.
add_library(kr-planted SHARED kr-planted.cpp)
target_link_libraries(kr-planted PRIVATE kr_flags)
set_target_properties(kr-planted PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
add_dependencies(test_launcher kr-planted)
add_executable(kr-load-by-name WIN32 kr-load-by-name.cpp)
target_link_libraries(kr-load-by-name PRIVATE kr_flags shell32)
add_dependencies(test_launcher kr-load-by-name kr-echo)

add_test(NAME launcher_imports_only_known_dlls
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DPROGRAM=$<TARGET_FILE:kestrel-launcher>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check-imports.cmake)

# The launcher, stripped as it ships, stays within its size budget.
add_test(NAME launcher_size_within_budget
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:kestrel-launcher> -DLIMIT=${KR_LAUNCHER_SIZE_BUDGET}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check-size.cmake)
# Its sections lie packed in the file, but its resources, which the packer replaces by the package, on a page.
add_test(NAME launcher_resources_on_a_page
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DPROGRAM=$<TARGET_FILE:kestrel-launcher>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check-rsrc-on-page.cmake)
