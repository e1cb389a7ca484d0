# What `cmake --install <build> --prefix P` puts where:
#   P/bin/volnlm                               the command-line tool
#   P/lib/volnlm/octave/<name>.mex             the GNU Octave plug-ins (addpath this folder)
#   P/lib/volnlm/matlab/<name>.<mexext>        the MATLAB plug-ins, where MATLAB was found
#   P/lib/volnlm/<host>/<name>.m               each plug-in's help text, beside it
#   P/lib/python3/dist-packages/volnlm/        the Python package, compiled module included;
#                                              Debian's Python finds it there for P = /usr, and
#                                              with PYTHONPATH=P/lib/python3/dist-packages else
# Only what was built is installed; the folders can be changed through the cache variables.
set(VOLNLM_INSTALL_BINDIR bin CACHE STRING "Install folder of the command-line tool")
set(VOLNLM_INSTALL_MEXDIR lib/volnlm CACHE STRING
    "Install folder of the MEX plug-ins (octave/ and matlab/ beneath it)")
set(VOLNLM_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING
    "Install folder of the Python package volnlm (a folder on the interpreter's path)")

if(TARGET volnlm)
  install(TARGETS volnlm RUNTIME DESTINATION ${VOLNLM_INSTALL_BINDIR})
endif()

foreach(plugin sorvane blockdenoise volnlm_denoise volnlm_estimate_sigma)
  get_property(help GLOBAL PROPERTY VOLNLM_MEX_HELP_${plugin})
  foreach(host octave matlab)
    if(TARGET ${plugin}_${host})
      install(TARGETS ${plugin}_${host} LIBRARY DESTINATION ${VOLNLM_INSTALL_MEXDIR}/${host})
      install(FILES ${help} DESTINATION ${VOLNLM_INSTALL_MEXDIR}/${host})
    endif()
  endforeach()
endforeach()

if(TARGET volnlm_python)
  install(TARGETS volnlm_python LIBRARY DESTINATION ${VOLNLM_INSTALL_PYTHONDIR}/volnlm)
  file(GLOB volnlm_python_sources ${PROJECT_SOURCE_DIR}/python/volnlm/*.py)
  install(FILES ${volnlm_python_sources} DESTINATION ${VOLNLM_INSTALL_PYTHONDIR}/volnlm)
endif()
