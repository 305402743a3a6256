# GenApi of our own: device description URLs, the ZIP container, the XML node graph and its
# formulas (src/camera/genapi/genapi.h). XML through RapidXml (header only, found in a way that
# also works in cross builds, whose find paths exclude the host's headers), ZIP entries
# inflated with zlib.
# RapidXml is architecture-independent: take the host's header even where the toolchain
# restricts include searches to the target's root (MinGW).
find_path(VISION_RAPIDXML_DIR rapidxml.hpp
  PATHS /usr/include/rapidxml /usr/local/include/rapidxml
  PATH_SUFFIXES rapidxml
  NO_CMAKE_FIND_ROOT_PATH)
if(NOT VISION_RAPIDXML_DIR)
  message(FATAL_ERROR "RapidXml's header rapidxml.hpp not found (Debian: librapidxml-dev)")
endif()

target_sources(vision_objects PRIVATE
  src/camera/genapi/access.cpp
  src/camera/genapi/build.cpp
  src/camera/genapi/description.cpp
  src/camera/genapi/formula.cpp
  src/camera/genapi/genapi.cpp
  src/camera/genapi/graph.cpp
  src/camera/genapi/range.cpp
  src/camera/genapi/xml.cpp
  src/camera/genapi/zip.cpp)
# Only the folder holding rapidxml*.hpp, never all of /usr/include (cross builds).
target_include_directories(vision_objects SYSTEM PRIVATE ${VISION_RAPIDXML_DIR})
vision_link_zlib(vision_objects)
