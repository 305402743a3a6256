# Sources of the matching area: shape models and their search.
set(VISION_MATCHING_SOURCES
  src/matching/create.cpp
  src/matching/find.cpp
  src/matching/overlap.cpp
  src/matching/pyramid.cpp
  src/matching/refine.cpp
  src/matching/sample.cpp
  src/matching/scan.cpp
  src/matching/score.cpp
  src/matching/top_scan.cpp)
target_sources(vision_objects PRIVATE
  ${VISION_MATCHING_SOURCES}
  src/matching/large_buffer.cpp
  src/matching/operators.cpp)

# Multiply-adds as written, never fused: compilers fuse them where the processor has such an
# instruction (always on 64-bit ARM), which rounds differently, and a search of the same image
# would then give slightly different poses on different machines (and the vector kernels would
# no longer give their scalar references' numbers).
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set_source_files_properties(${VISION_MATCHING_SOURCES}
    TARGET_DIRECTORY vision PROPERTIES COMPILE_OPTIONS -ffp-contract=off)
endif()
