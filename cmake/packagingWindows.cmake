# The Windows program as one folder that runs on a machine with nothing
# installed, zipped as nicChooser-VERSION-win64.zip in the build folder: the
# executable and its help file, the toolkit's DLLs it links, the platform
# and style plug-ins in the folders the toolkit looks in beside the
# executable (platforms/, styles/), and the compiler's runtime DLLs.
# Nothing else. Included by the top CMakeLists.txt for Windows builds.
set(win_package nicChooser-${PROJECT_VERSION}-win64)
set(win_stage ${CMAKE_BINARY_DIR}/${win_package})
set(win_zip ${CMAKE_BINARY_DIR}/${win_package}.zip)

set(win_qt_dlls)
foreach(module Core Gui Widgets Network Xml)
  list(APPEND win_qt_dlls ${NC_QT_DIR}/bin/Qt5${module}.dll)
endforeach()
set(win_runtime_dlls)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  find_file(win_${dll} ${dll} PATHS ${NC_MINGW_RUNTIME_DIRS} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  list(APPEND win_runtime_dlls ${win_${dll}})
endforeach()
set(win_help)
if(TARGET nicChooserHelp)
  set(win_help ${CMAKE_BINARY_DIR}/nicChooser/nicChooser/nicChooser.chm)
endif()

add_custom_command(OUTPUT ${win_zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${win_stage} ${win_zip}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${win_stage}/platforms ${win_stage}/styles
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:nicChooser> ${win_help} ${win_qt_dlls} ${win_runtime_dlls} ${win_stage}
  # Debug information stays in the build folder.
  COMMAND ${CMAKE_STRIP} --strip-unneeded ${win_stage}/nicChooser.exe ${win_stage}/libstdc++-6.dll
          ${win_stage}/libgcc_s_seh-1.dll ${win_stage}/libwinpthread-1.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${NC_QT_DIR}/plugins/platforms/qwindows.dll ${win_stage}/platforms
  COMMAND ${CMAKE_COMMAND} -E copy ${NC_QT_DIR}/plugins/styles/qwindowsvistastyle.dll ${win_stage}/styles
  COMMAND ${CMAKE_COMMAND} -E tar cf ${win_zip} --format=zip ${win_package}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS nicChooser ${win_help}
  COMMENT "Packing ${win_package}.zip")
add_custom_target(windowsZip ALL DEPENDS ${win_zip})

if(BUILD_TESTING)
  # Unpacked into a new Wine prefix with nothing installed, it lists and
  # stores a choice; then once more with its plug-ins in the installation's
  # plug-in folder only.
  add_test(NAME windows_zip COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/checkWindowsZip.sh ${win_zip}
           ${PROJECT_SOURCE_DIR}/demo/installation)
  set_tests_properties(windows_zip PROPERTIES TIMEOUT 300 LABELS windows)
endif()
