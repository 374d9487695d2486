# The Windows build's tests, each run under Wine by the toolchain's emulator
# (cmake/mingw-w64-x86_64.cmake) on a virtual X server, with the toolkit's
# debug lines on stderr as the tests read them. The suites about the Linux
# file layer, users and name races (tst_reliability) are not built here.
set(win_env "QT_QPA_PLATFORM=offscreen;QT_FORCE_STDERR_LOGGING=1")
foreach(t tst_run tst_files tst_localSettings tst_osplConfig tst_platform tst_help tst_dialog tst_nicChooser tst_process)
  nc_test(${t})
  # The few owner and link calls of Linux rows, failing (support/win).
  target_include_directories(${t} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/win)
  target_compile_options(${t} PRIVATE -include posixOwners.h)
endforeach()
# An operator's console that starts a program as Windows starts a GUI
# program from cmd (tst_process), and a help control planted beside a test
# program (tst_help), kept in a folder of its own until a row plants it.
add_executable(ncconsole tools/ncconsole.cpp)
target_compile_options(ncconsole PRIVATE -municode)
target_link_options(ncconsole PRIVATE -municode)
add_library(ncPlantedHelp MODULE tools/plantedHelp.cpp)
set_target_properties(ncPlantedHelp PROPERTIES PREFIX "" OUTPUT_NAME hhctrl SUFFIX .ocx
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted)
target_compile_definitions(tst_process PRIVATE NC_CONSOLE_TOOL="$<TARGET_FILE:ncconsole>")
target_compile_definitions(tst_help PRIVATE NC_PLANTED_HELP="$<TARGET_FILE:ncPlantedHelp>")
add_dependencies(tst_process ncconsole)
add_dependencies(tst_help ncPlantedHelp)

foreach(t tst_run tst_files tst_localSettings tst_osplConfig tst_platform tst_help tst_dialog)
  add_test(NAME ${t} COMMAND ${t})
  set_tests_properties(${t} PROPERTIES ENVIRONMENT "${win_env}" TIMEOUT 300 LABELS windows)
endforeach()

# The dialog and the executable as a process, among the namespace's
# interfaces: Wine lists them (Windows' names as adaptor IDs, the Linux names
# as the readable ones). Wine finds interfaces in a helper process of its
# server, so the namespace gets a Wine prefix of its own, and its tests never
# run beside others.
foreach(t tst_nicChooser tst_process)
  add_test(NAME ${t} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/in-netns.sh ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${t}>)
  set_tests_properties(${t} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL ON LABELS windows
                       ENVIRONMENT "${win_env};NC_WINE_PREFIX_NAME=wine-netns")
endforeach()
# The platform's profile reader and access lists, to compare with.
target_link_libraries(tst_localSettings PRIVATE kernel32 advapi32)
target_link_libraries(tst_files PRIVATE kernel32 advapi32)

# A person's keys on the Windows executable under Wine, on the virtual X
# server gui.sh starts, among the namespace's interfaces (the rows that
# need the X11 platform are gui_xvfb's).
add_test(NAME gui_wine COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/in-netns.sh bash ${CMAKE_CURRENT_SOURCE_DIR}/gui.sh
         --wine ${CMAKE_CROSSCOMPILING_EMULATOR} -- $<TARGET_FILE:nicChooser> ${CMAKE_CURRENT_SOURCE_DIR}/data)
set_tests_properties(gui_wine PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL ON LABELS windows
                     ENVIRONMENT "NC_WINE_PREFIX_NAME=wine-netns")
