# Included from app/CMakeLists.txt (win32 tree): the crash filter, the
# program's entry and message window, its resources, and Skyvane.exe.

# The unhandled-exception filter that writes the minidump.
add_library(appcrash STATIC CrashDump.cpp)
target_include_directories(appcrash PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(appcrash PUBLIC applog)

sky_add_gtest(crash_dump_test SOURCES tests/CrashDumpTest.cpp LIBS appcrash)
