# The launch frame's tests start kr-frame-probe (a GUI program around app::wlaunch), directly or through
# kr-frame-console, which gives it a console and reads that console's screen.
add_executable(kr-frame-probe WIN32 kr-frame-probe.cpp)
target_link_libraries(kr-frame-probe PRIVATE kestrel_common)

add_executable(kr-frame-console kr-frame-console.cpp)
target_link_libraries(kr-frame-console PRIVATE krtest)
target_link_options(kr-frame-console PRIVATE -municode)

add_dependencies(test_WinApp kr-frame-probe kr-frame-console)
add_dependencies(test_WinSysInfo kr-frame-probe)

# kr-frame-module.dll: SysInfo's module queries answered from a DLL, which a test can load from a deep path.
add_library(kr-frame-module SHARED kr-frame-module.cpp)
target_link_libraries(kr-frame-module PRIVATE kestrel_common)
set_target_properties(kr-frame-module PROPERTIES PREFIX "")
add_dependencies(test_WinSysInfo kr-frame-module)
