# What both sides of the GenTL boundary share: the C interface's declarations (gentl_abi.h), the
# pixel-format codes (pfnc.h), hexadecimal numbers (hex.h) and the simulated camera's options
# (options.h), which the producer reads from VISION_FAKE_CAMERA and the library checks when it
# opens the camera. Header-only apart from options.cpp, which
# the object library vision_gentl_shared holds for every target that links it: the library,
# the simulated camera's producer and the producer's tests. Included through the library's one
# include root (vision/src) as "gentl_shared/...". Target names are resolved when the build is
# generated, so the order of the folders does not matter.
add_library(vision_gentl_shared OBJECT src/gentl_shared/options.cpp)
vision_set_warnings(vision_gentl_shared)
target_compile_features(vision_gentl_shared PUBLIC cxx_std_20)
target_include_directories(vision_gentl_shared PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
set_target_properties(vision_gentl_shared PROPERTIES POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
