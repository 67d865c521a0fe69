# The Debian package zemb-stitcher, made by `cpack -G DEB` (scripts/package
# configures, builds and packs). Make it from a build configured for the
# system's own layout:
#   -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_SHARED_LIBS=ON
# so that GNUInstallDirs puts the library in the multiarch folder
# (lib/x86_64-linux-gnu) and the Python module lands where Debian's python3
# reads packaged modules from (cmake/debian_python_dir.cmake).
# Included after the subdirectories: which of zemb_pano, make_sweep and the
# Python module the build has decides the manual pages and the dependencies.

# Manual pages of the command-line tools, made from their --help by help2man
# so that they cannot drift from it; without help2man there are none.
find_program(ZEMB_HELP2MAN help2man)
function(zemb_manual_page tool summary)
  if(NOT TARGET ${tool} OR NOT ZEMB_HELP2MAN)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${ZEMB_HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --name=${summary}
            --output=${page} $<TARGET_FILE:${tool}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${tool} VERBATIM)
  add_custom_target(${tool}_manual_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
zemb_manual_page(zemb_pano "stitch a video or a series of images into a panorama")
zemb_manual_page(make_sweep "make a synthetic camera sweep from a photograph")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zemb-stitcher)
set(CPACK_PACKAGE_VENDOR "zemb_stitcher maintainers")
set(ZEMB_PACKAGE_MAINTAINER "zemb_stitcher maintainers <maintainers@users.noreply.c-seed-a0b9e077.example>"
    CACHE STRING "Maintainer field of the Debian package: name <address>")
set(CPACK_DEBIAN_PACKAGE_NAME ${CPACK_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEMB_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "incremental panorama stitching of camera frames")
set(CPACK_PACKAGE_DESCRIPTION
"zemb_stitcher is a C++ library on OpenCV that places camera frames, one at a
time, on a growing panorama: it tracks each frame against the last accepted
one, repairs the seam and keeps the band every frame covered, in a few
milliseconds a frame. Its sweep keeps the frames, recovers lost tracking and
renders a finished panorama with OpenCV's stitching module.

This package holds the library, its C++ headers, CMake package and pkg-config
file, the zemb_pano command-line stitcher, the make_sweep maker of synthetic
camera sweeps and the zemb module for Debian's python3.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# The OpenCV runtime libraries come from dpkg-shlibdeps. Building against the
# headers needs OpenCV's headers and CMake files as well.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libopencv-dev")
# The module is built for one python3.x (its file name carries the ABI) and
# hands images over as numpy arrays.
if(TARGET zemb)
  execute_process(COMMAND ${Python_EXECUTABLE} -c
      "import sys; v = sys.version_info; print('python3 (>= %d.%d~), python3 (<< %d.%d)' % (v[0], v[1], v[0], v[1] + 1))"
    OUTPUT_VARIABLE _zemb_python_depends OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _zemb_failed)
  if(_zemb_failed)
    message(FATAL_ERROR "${Python_EXECUTABLE} could not tell its version")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_zemb_python_depends}, python3-numpy")
  # zemb_batch, beside the module, reads clips with OpenCV and spreads them with Dask.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-opencv, python3-distributed")
endif()
# A shared library gets a shlibs file, so that packages built against it
# depend on this one, and an ldconfig trigger, so that the loader finds it.
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
endif()

# What Debian wants beside every package: the licence in its machine-readable
# copyright file and a changelog compressed without a timestamp. The date
# follows SOURCE_DATE_EPOCH when it is set (scripts/package sets it to the
# last commit's), so that the same tree gives the same changelog.
string(TIMESTAMP ZEMB_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_zemb_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${_zemb_changelog} @ONLY)
execute_process(COMMAND gzip -9nf ${_zemb_changelog} RESULT_VARIABLE _zemb_failed)
if(_zemb_failed)
  message(FATAL_ERROR "gzip could not compress ${_zemb_changelog}")
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${_zemb_changelog}.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})

include(CPack)
