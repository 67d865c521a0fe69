# The wall around the fixed path, checked on the sources: no file under
# src/shared, src/sweep, src/render or src/photos may include the fixed path's headers
# (src/fixed) or its public header zemb_stitcher.h, so nothing there can
# read the fixed path's settings or objects, and no change there can move
# its output. Lists every include that breaks the rule and fails; see the
# README's Architecture section for what each part may use.
#
#   cmake -DZEMB_ROOT=<project root> [-DZEMB_WALLED_PARTS=shared;sweep;render;photos] -P part_boundaries.cmake
if(NOT ZEMB_ROOT)
  message(FATAL_ERROR "part_boundaries: ZEMB_ROOT (the project root) is not set")
endif()
if(NOT ZEMB_WALLED_PARTS)
  set(ZEMB_WALLED_PARTS shared sweep render photos)
endif()

set(breaches "")
foreach(part ${ZEMB_WALLED_PARTS})
  file(GLOB_RECURSE sources ${ZEMB_ROOT}/src/${part}/*.h ${ZEMB_ROOT}/src/${part}/*.cpp)
  if(NOT sources)
    message(FATAL_ERROR "part_boundaries: no sources under src/${part}")
  endif()
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${includes})
      if(line MATCHES "[<\"]([^\">]*/)?(fixed/[^\">]*|zemb_stitcher\\.h)[\">]")
        file(RELATIVE_PATH name ${ZEMB_ROOT} ${source})
        string(APPEND breaches "\n  ${name}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(breaches)
  message(FATAL_ERROR "part_boundaries: these files reach into the fixed path:${breaches}")
endif()
message(STATUS "part_boundaries: src/{${ZEMB_WALLED_PARTS}} include nothing of the fixed path")
