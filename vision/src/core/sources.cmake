target_sources(vision_objects PRIVATE
  src/core/exception.cpp
  src/core/tuple.cpp
  src/core/object.cpp
  src/core/image_ops.cpp
  src/core/system.cpp
  src/core/parallel.cpp)
