# Source selection: every module directory is globbed; files ending in _win.cpp
# are built only for Windows and files ending in _posix.cpp only elsewhere, so
# logic files never need #ifdef _WIN32.

function(tessaryndle_filter_platform out_var)
  set(files ${ARGN})
  if(WIN32)
    list(FILTER files EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER files EXCLUDE REGEX "_win\\.cpp$")
  endif()
  set(${out_var} ${files} PARENT_SCOPE)
endfunction()

function(tessaryndle_glob_sources out_var)
  set(all)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND all ${found})
  endforeach()
  tessaryndle_filter_platform(all ${all})
  set(${out_var} ${all} PARENT_SCOPE)
endfunction()

# base_win.cpp on Windows, base_posix.cpp elsewhere.
function(tessaryndle_platform_file out_var base)
  if(WIN32)
    set(${out_var} ${CMAKE_SOURCE_DIR}/${base}_win.cpp PARENT_SCOPE)
  else()
    set(${out_var} ${CMAKE_SOURCE_DIR}/${base}_posix.cpp PARENT_SCOPE)
  endif()
endfunction()
