# Debian's python3 looks for the modules that packages install in
# /usr/lib/python3/dist-packages (its deb_system scheme), shared by every
# python3.x; the per-version folder python/ picks by default suits a local
# install under /usr/local. So an install to /usr, which is what the Debian
# package is made from, puts the module where Debian's own modules are.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR DEFINED ZEMB_PYTHON_INSTALL_DIR)
  return()
endif()
if(DEFINED Python_EXECUTABLE)
  set(_zemb_python ${Python_EXECUTABLE})
else()
  set(_zemb_python /usr/bin/python3)
endif()
execute_process(
  COMMAND ${_zemb_python} -c
    "import os, sysconfig; p = sysconfig.get_paths('deb_system'); print(os.path.relpath(p['platlib'], p['data']))"
  OUTPUT_VARIABLE _zemb_deb_python_dir OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _zemb_no_deb_scheme ERROR_QUIET)
if(NOT _zemb_no_deb_scheme)
  set(ZEMB_PYTHON_INSTALL_DIR "${_zemb_deb_python_dir}" CACHE STRING
      "Folder under the installation prefix that receives the zemb module")
endif()
