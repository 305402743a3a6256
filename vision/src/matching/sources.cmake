# Sources of the matching area: shape models and their search.
target_sources(vision PRIVATE
  src/matching/create.cpp
  src/matching/find.cpp
  src/matching/large_buffer.cpp
  src/matching/operators.cpp
  src/matching/pyramid.cpp
  src/matching/scan.cpp)
