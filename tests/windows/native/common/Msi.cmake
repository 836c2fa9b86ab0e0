# The installer action tests install the test packages with msiexec and remove them again.
target_link_libraries(test_MsiUtils PRIVATE kr_test_packages_info)
add_dependencies(test_MsiUtils kr_test_packages)
set_tests_properties(test_MsiUtils PROPERTIES RESOURCE_LOCK ${KR_INSTALLER_LOCK})
