# Sources of the matching area: shape models and their search.
target_sources(vision_objects PRIVATE
  src/matching/create.cpp
  src/matching/find.cpp
  src/matching/large_buffer.cpp
  src/matching/operators.cpp
  src/matching/pyramid.cpp
  src/matching/scan.cpp)

# Multiply-adds as written, never fused: compilers fuse them where the processor has such an
# instruction (always on 64-bit ARM), which rounds differently, and a search of the same image
# would then give slightly different poses on different machines.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set_source_files_properties(
    src/matching/create.cpp src/matching/find.cpp src/matching/pyramid.cpp src/matching/scan.cpp
    TARGET_DIRECTORY vision PROPERTIES COMPILE_OPTIONS -ffp-contract=off)
endif()
