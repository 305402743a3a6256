# Contours: generation, access and painting.
target_sources(vision_objects PRIVATE
  src/xld/contour.cpp
  src/xld/paint.cpp)
