# Internal helpers shared by every area, each beside its header: the internal image and contour
# representation (iconic), raising HException (error), reading control values from tuples
# (param), texts from outside made printable (text), the vector instructions the processor
# offers (simd).
target_sources(vision_objects PRIVATE
  src/detail/error.cpp
  src/detail/iconic.cpp
  src/detail/param.cpp
  src/detail/simd.cpp
  src/detail/text.cpp)
