# Included from app/CMakeLists.txt (win32 tree): the crash filter, the
# program's entry and message window, its resources, and Skyvane.exe.

# The unhandled-exception filter that writes the minidump.
add_library(appcrash STATIC CrashDump.cpp)
target_include_directories(appcrash PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(appcrash PUBLIC applog advapi32)

# Its own folder, with a planted dbghelp.dll beside it that the filter must
# never load (the override makes Wine take a native dbghelp.dll wherever a
# search finds one, as Windows would).
sky_add_gtest(crash_dump_test SOURCES tests/CrashDumpTest.cpp LIBS appcrash sky_test_support
  ENVIRONMENT "WINEDLLOVERRIDES=dbghelp=n,b")
add_library(planted_dbghelp SHARED tests/PlantedDbgHelp.cpp)
target_link_options(planted_dbghelp PRIVATE -Wl,--kill-at)
set_target_properties(crash_dump_test planted_dbghelp PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/crash_dump_test)
set_target_properties(planted_dbghelp PROPERTIES OUTPUT_NAME dbghelp PREFIX "")
add_dependencies(crash_dump_test planted_dbghelp)

# Skyvane.exe: a GUI program without a visible window, entry wWinMain.
# (monitor/ is configured after this folder: test for its sources, not its targets)
if(EXISTS ${PROJECT_SOURCE_DIR}/monitor/MonitorMgr.cpp AND EXISTS ${PROJECT_SOURCE_DIR}/monitor/MonitorProcessor.cpp)
  enable_language(RC)
  set(skyvane_sources main.cpp Skyvane.rc)
  set_source_files_properties(Skyvane.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/icons/skyvane.ico;${CMAKE_CURRENT_SOURCE_DIR}/icons/small.ico")
  add_executable(Skyvane WIN32 ${skyvane_sources})
  target_link_libraries(Skyvane PRIVATE monitor_mgr appcrash applog user32 advapi32)
  target_link_options(Skyvane PRIVATE -municode)

  # The same program with one fault planted on purpose, for the crash-dump
  # system test. Never shipped.
  add_executable(SkyvaneCrashTest WIN32 ${skyvane_sources})
  target_compile_definitions(SkyvaneCrashTest PRIVATE SKYVANE_TEST_CRASH)
  target_link_libraries(SkyvaneCrashTest PRIVATE monitor_mgr appcrash applog user32 advapi32)
  target_link_options(SkyvaneCrashTest PRIVATE -municode)
endif()

# WndProc (compiled from main.cpp) against the stand-in libAuvex, and the
# resources of the built Skyvane.exe.
if(TARGET Skyvane)
  # The simulated devices' cfgmgr32.dll answers the enumeration (with no device).
  sky_add_gtest(wndproc_test SOURCES tests/WndProcTest.cpp main.cpp
    LIBS monitor_mgr appcrash applog user32 advapi32 sky_test_support
    ENVIRONMENT "WINEDLLOVERRIDES=winusb,cfgmgr32=n,b")
  target_compile_definitions(wndproc_test PRIVATE SKYVANE_EXE="$<TARGET_FILE:Skyvane>")
  add_dependencies(wndproc_test Skyvane auvex usbsim_winusb usbsim_cfgmgr32)
  add_custom_command(TARGET wndproc_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:auvex> $<TARGET_FILE:usbsim_winusb>
            $<TARGET_FILE:usbsim_cfgmgr32> $<TARGET_FILE_DIR:wndproc_test>
    VERBATIM)
endif()
