# Included from monitor/CMakeLists.txt (win32 tree): the monitor manager and
# its tests.
add_library(monitor_mgr STATIC MonitorMgr.cpp)
target_include_directories(monitor_mgr PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(monitor_mgr PUBLIC monitor_processor cfgmgr32 user32)

# The manager with real processors against the simulated devices (winusb.dll
# and cfgmgr32.dll stand-ins) and the stand-in libAuvex, all beside the test.
# (standins/ is configured after this folder: test for its sources, not its targets)
if(EXISTS ${PROJECT_SOURCE_DIR}/standins/usbsim/CMakeLists.txt)
  sky_add_gtest(monitor_mgr_test SOURCES tests/MonitorMgrTest.cpp LIBS monitor_mgr usbsim_state sky_test_support
    TIMEOUT 300 ENVIRONMENT "WINEDLLOVERRIDES=winusb,cfgmgr32=n,b")
  sky_copy_auvex_dll(monitor_mgr_test)
  add_custom_command(TARGET monitor_mgr_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:usbsim_winusb> $<TARGET_FILE:usbsim_cfgmgr32>
            $<TARGET_FILE_DIR:monitor_mgr_test>
    VERBATIM)
  add_dependencies(monitor_mgr_test usbsim_winusb usbsim_cfgmgr32)
endif()
