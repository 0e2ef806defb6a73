# Application manifest, icon and version resource of both programs (Windows
# only), and their Windows GUI entry: wWinMain, no console window.

if(NOT WIN32)
  return()
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE: without it a program in a
# Remote Desktop session runs under the session host's compatibility layer
# (GetWindowsDirectory names a per-user directory, INI files and some
# registry keys are mapped per user), so it could meet files and settings
# that are not the system's own. Every shipped program carries the mark, the
# release tool too.
set(TESSARYNDLE_TSAWARE_LINK_OPTION -Wl,--tsaware)

set(TESSARYNDLE_RESOURCE_DIR "${CMAKE_BINARY_DIR}/resources")
set(TESSARYNDLE_ICON_FILE "${TESSARYNDLE_RESOURCE_DIR}/tessaryndle.ico")
set(TESSARYNDLE_MANIFEST_FILE "${TESSARYNDLE_RESOURCE_DIR}/tessaryndle.manifest")

# Version numbers in the forms the resources need: "1.0.0.0" and 1,0,0,0.
foreach(part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    set(_tessaryndle_${part} 0)
  else()
    set(_tessaryndle_${part} ${PROJECT_VERSION_${part}})
  endif()
endforeach()
set(TESSARYNDLE_VERSION_QUAD "${_tessaryndle_MAJOR}.${_tessaryndle_MINOR}.${_tessaryndle_PATCH}.${_tessaryndle_TWEAK}")
set(TESSARYNDLE_VERSION_COMMAS "${_tessaryndle_MAJOR},${_tessaryndle_MINOR},${_tessaryndle_PATCH},${_tessaryndle_TWEAK}")
if(TESSARYNDLE_TEST_HOOKS)
  # Marks builds with failure-injection hooks as not for release.
  set(TESSARYNDLE_FILE_FLAGS "VS_FF_PRIVATEBUILD")
else()
  set(TESSARYNDLE_FILE_FLAGS "0")
endif()

configure_file("${CMAKE_SOURCE_DIR}/resources/tessaryndle.manifest.in" "${TESSARYNDLE_MANIFEST_FILE}" @ONLY)

# The icon is drawn by our own script at build time; nothing binary is kept in
# the repository.
add_custom_command(
  OUTPUT "${TESSARYNDLE_ICON_FILE}"
  COMMAND Python3::Interpreter "${CMAKE_SOURCE_DIR}/scripts/draw_icon.py" "${TESSARYNDLE_ICON_FILE}"
  DEPENDS "${CMAKE_SOURCE_DIR}/scripts/draw_icon.py"
  COMMENT "Drawing the application icon"
  VERBATIM)
add_custom_target(tessaryndle_icon DEPENDS "${TESSARYNDLE_ICON_FILE}")

# tessaryndle_windows_program(TARGET DESCRIPTION): makes TARGET a GUI-subsystem
# program with a wWinMain entry, marked as aware of terminal servers, and gives
# it the shared manifest and icon and its own version resource.
function(tessaryndle_windows_program target description)
  get_target_property(output_name ${target} OUTPUT_NAME)
  get_target_property(suffix ${target} SUFFIX)
  set(TESSARYNDLE_FILE_DESCRIPTION "${description}")
  set(TESSARYNDLE_INTERNAL_NAME "${output_name}")
  set(TESSARYNDLE_ORIGINAL_FILENAME "${output_name}${suffix}")
  set(rc "${TESSARYNDLE_RESOURCE_DIR}/${target}.rc")
  configure_file("${CMAKE_SOURCE_DIR}/resources/tessaryndle.rc.in" "${rc}" @ONLY)
  set_source_files_properties("${rc}" PROPERTIES
    OBJECT_DEPENDS "${TESSARYNDLE_ICON_FILE};${TESSARYNDLE_MANIFEST_FILE};${CMAKE_SOURCE_DIR}/resources/resource_ids.h")
  target_sources(${target} PRIVATE "${rc}")
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/resources")
  add_dependencies(${target} tessaryndle_icon)
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-municode>)
  target_link_options(${target} PRIVATE -municode ${TESSARYNDLE_TSAWARE_LINK_OPTION})
endfunction()

tessaryndle_windows_program(tessaryndle_updater_agent "Tessaryndle updater agent")
tessaryndle_windows_program(tessaryndle_launcher_exe "Tessaryndle")
# The release tool is a console program without these resources.
target_link_options(tessaryndle_release PRIVATE ${TESSARYNDLE_TSAWARE_LINK_OPTION})
