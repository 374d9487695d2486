# The Windows build's tests, each run under Wine by the toolchain's emulator
# (cmake/mingw-w64-x86_64.cmake) on a virtual X server, with the toolkit's
# debug lines on stderr as the tests read them. The suites about the Linux
# file layer, users and name races (tst_reliability) are not built here.
set(win_env "QT_QPA_PLATFORM=offscreen;QT_FORCE_STDERR_LOGGING=1")
foreach(t tst_adaptorRows tst_localSettings tst_osplConfig tst_dialog)
  nc_test(${t})
  # The few owner and link calls of Linux rows, failing (support/win).
  target_include_directories(${t} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/win)
  target_compile_options(${t} PRIVATE -include posixOwners.h)
  add_test(NAME ${t} COMMAND ${t})
  set_tests_properties(${t} PROPERTIES ENVIRONMENT "${win_env}" TIMEOUT 300 LABELS windows)
endforeach()
# The platform's profile reader and access lists, to compare with.
target_link_libraries(tst_localSettings PRIVATE kernel32 advapi32)
