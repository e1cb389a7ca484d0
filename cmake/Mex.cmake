# volnlm_add_mex(<name> SOURCES <gateway sources> LINK <core libraries> [HELP_TEMPLATE <file>])
#
# Builds one MEX gateway for every host at hand, each a plug-in file named <name>.mex
# (<name>.mexa64 etc. for MATLAB) that exports mexFunction alone:
#   <name>_testhost  build/testhost/<name>.mex, against our test host in mexhost/
#   <name>_octave    build/octave/<name>.mex, when GNU Octave's mkoctfile is found
#   <name>_matlab    next to MATLAB's conventions, when CMake's FindMatlab finds MATLAB
# Each host's plug-in gets the help file mex/<name>.m (comments only) beside it: both hosts take
# a MEX file's help text from a same-named .m file in its folder, while a call still runs the
# plug-in, which takes precedence over the .m file of its own folder. With HELP_TEMPLATE the help
# file is made at build time by volnlm_make_help (mex/make_help.cpp), which fills in the
# pipeline's defaults, into build/mexhelp/<name>.m.

#
# Options: VOLNLM_MEX_NO_UNDEFINED links the test-host plug-ins with -Wl,--no-undefined (turn it
# off for sanitizer builds, whose plug-ins take the runtime's symbols from the executable);
# VOLNLM_OCTAVE and VOLNLM_MATLAB build those hosts' plug-ins when the host is found.
option(VOLNLM_MEX_NO_UNDEFINED "Link the test-host plug-ins with -Wl,--no-undefined" ON)
option(VOLNLM_OCTAVE "Build the GNU Octave plug-ins when GNU Octave is found" ON)
option(VOLNLM_MATLAB "Build the MATLAB plug-ins when MATLAB is found" ON)

set(VOLNLM_MEX_MAP ${PROJECT_SOURCE_DIR}/mex/mexfunction.map)
set(VOLNLM_MEX_ARGS ${PROJECT_SOURCE_DIR}/mex/args.cpp)

if(VOLNLM_OCTAVE)
  find_program(MKOCTFILE_EXECUTABLE mkoctfile)
  find_program(OCTAVE_CLI_EXECUTABLE octave-cli)
endif()
if(VOLNLM_OCTAVE AND MKOCTFILE_EXECUTABLE)
  execute_process(COMMAND ${MKOCTFILE_EXECUTABLE} -p OCTINCLUDEDIR
                  OUTPUT_VARIABLE OCTAVE_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${MKOCTFILE_EXECUTABLE} -p OCTLIBDIR
                  OUTPUT_VARIABLE OCTAVE_LIB_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_library(OCTINTERP_LIBRARY octinterp HINTS ${OCTAVE_LIB_DIR} NO_DEFAULT_PATH)
  find_library(OCTAVE_LIBRARY octave HINTS ${OCTAVE_LIB_DIR} NO_DEFAULT_PATH)
endif()
if(VOLNLM_OCTAVE AND OCTAVE_INCLUDE_DIR AND OCTINTERP_LIBRARY AND OCTAVE_LIBRARY)
  set(VOLNLM_HAVE_OCTAVE ON)
  message(STATUS "GNU Octave MEX plug-ins: ${OCTAVE_INCLUDE_DIR}")
else()
  set(VOLNLM_HAVE_OCTAVE OFF)
  message(STATUS "GNU Octave not found: its MEX plug-ins are not built")
endif()

if(VOLNLM_MATLAB)
  find_package(Matlab QUIET COMPONENTS MX_LIBRARY MEX_COMPILER)
endif()
if(Matlab_FOUND)
  message(STATUS "MATLAB MEX plug-ins: ${Matlab_ROOT_DIR}")
endif()

function(_volnlm_mex_common target)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".mex")
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(${target} PRIVATE "-Wl,--version-script=${VOLNLM_MEX_MAP}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VOLNLM_MEX_MAP})
  endif()
endfunction()

function(volnlm_add_mex name)
  cmake_parse_arguments(MEX "" "HELP_TEMPLATE" "SOURCES;LINK" ${ARGN})
  set(sources ${MEX_SOURCES} ${VOLNLM_MEX_ARGS})
  set(help ${PROJECT_SOURCE_DIR}/mex/${name}.m)
  if(MEX_HELP_TEMPLATE)
    set(help ${CMAKE_BINARY_DIR}/mexhelp/${name}.m)
    add_custom_command(OUTPUT ${help}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/mexhelp
                       COMMAND volnlm_make_help ${MEX_HELP_TEMPLATE} ${help}
                       DEPENDS volnlm_make_help ${MEX_HELP_TEMPLATE}
                       COMMENT "Help file ${name}.m")
    add_custom_target(${name}_help ALL DEPENDS ${help})
  endif()
  set_property(GLOBAL PROPERTY VOLNLM_MEX_HELP_${name} ${help})

  add_library(${name}_testhost MODULE ${sources})
  _volnlm_mex_common(${name}_testhost)
  set_target_properties(${name}_testhost PROPERTIES OUTPUT_NAME ${name}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/testhost)
  target_link_libraries(${name}_testhost PRIVATE ${MEX_LINK} mexhost)
  if(VOLNLM_MEX_NO_UNDEFINED)
    target_link_options(${name}_testhost PRIVATE "-Wl,--no-undefined")
  endif()

  if(VOLNLM_HAVE_OCTAVE)
    add_library(${name}_octave MODULE ${sources})
    _volnlm_mex_common(${name}_octave)
    set_target_properties(${name}_octave PROPERTIES OUTPUT_NAME ${name}
                          LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/octave)
    # Octave's headers are system headers to us: their warnings are not ours to fix.
    target_include_directories(${name}_octave SYSTEM PRIVATE ${OCTAVE_INCLUDE_DIR} ${OCTAVE_INCLUDE_DIR}/..)
    # Linking Octave's libraries turns a misspelt or missing host call into a link error.
    target_link_libraries(${name}_octave PRIVATE ${MEX_LINK} ${OCTINTERP_LIBRARY} ${OCTAVE_LIBRARY})
    target_link_options(${name}_octave PRIVATE "-Wl,--no-undefined")
    if(MEX_HELP_TEMPLATE)
      add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/octave/${name}.m
                         COMMAND ${CMAKE_COMMAND} -E copy ${help} ${CMAKE_BINARY_DIR}/octave/${name}.m
                         DEPENDS ${help})
      add_custom_target(${name}_octave_help ALL DEPENDS ${CMAKE_BINARY_DIR}/octave/${name}.m)
      add_dependencies(${name}_octave ${name}_octave_help)
    else()
      configure_file(${help} ${CMAKE_BINARY_DIR}/octave/${name}.m COPYONLY)
    endif()
  endif()

  if(VOLNLM_MATLAB AND Matlab_FOUND)
    matlab_add_mex(NAME ${name}_matlab SRC ${sources} OUTPUT_NAME ${name} LINK_TO ${MEX_LINK})
    if(MEX_HELP_TEMPLATE)
      add_dependencies(${name}_matlab ${name}_help)
    endif()
    add_custom_command(TARGET ${name}_matlab POST_BUILD
                       COMMAND ${CMAKE_COMMAND} -E copy_if_different
                               ${help} $<TARGET_FILE_DIR:${name}_matlab>)
  endif()
endfunction()
