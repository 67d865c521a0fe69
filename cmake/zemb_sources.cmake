# The library's sources, one list for every build of it: the main build, the
# fuzz targets and the stress programs (each under its own sanitizer) include
# this file instead of naming the sources again. ZEMB_ROOT is the project root.
file(GLOB ZEMB_LIBRARY_SOURCES CONFIGURE_DEPENDS ${ZEMB_ROOT}/src/*.cpp)
list(FILTER ZEMB_LIBRARY_SOURCES EXCLUDE REGEX "/main\\.cpp$")
