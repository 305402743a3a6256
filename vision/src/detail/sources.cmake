# Internal helpers shared by every area, each beside its header: the internal image and contour
# representation (iconic), raising HException (error).
target_sources(vision PRIVATE
  src/detail/error.cpp
  src/detail/iconic.cpp)
