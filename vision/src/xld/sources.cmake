# Contours: generation, access and painting.
target_sources(vision PRIVATE
  src/xld/contour.cpp
  src/xld/paint.cpp)
