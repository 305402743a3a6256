# The GenTL consumer: producers (.cti) found through GENICAM_GENTL64_PATH, loaded once per
# process, and cameras reached through them (src/camera/gentl/); the simulated camera's producer
# (vision/producer) is found through it for VISION_FAKE_CAMERA.
target_sources(vision_objects PRIVATE
  src/camera/gentl/device.cpp
  src/camera/gentl/discovery.cpp
  src/camera/gentl/info.cpp
  src/camera/gentl/lane.cpp
  src/camera/gentl/library.cpp
  src/camera/gentl/module_info.cpp
  src/camera/gentl/registry.cpp
  src/camera/gentl/transport.cpp)
# The simulated camera's options are checked by the library too (gentl_shared/). An object
# library passes on the usage requirements of another, not its objects: both libraries made of
# vision_objects take options.cpp's objects directly.
target_link_libraries(vision_objects PRIVATE vision_gentl_shared ${CMAKE_DL_LIBS})
target_link_libraries(vision PRIVATE vision_gentl_shared)
target_link_libraries(vision_internal PRIVATE vision_gentl_shared)

# Where the simulated camera's producer is: the target's file in the build tree, beside the
# installed library once installed, the configured prefix as the last resort. The producer's
# target tells its installed place through its properties (read when the build is generated).
set(_simcam_dir "$<TARGET_PROPERTY:vision_simcam,VISION_SIMCAM_INSTALL_DIR>")
set_property(SOURCE src/camera/gentl/transport.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  "VISION_SIMCAM_BUILD_PATH=\"$<TARGET_FILE:vision_simcam>\""
  "VISION_SIMCAM_FROM_LIBRARY=\"$<TARGET_PROPERTY:vision_simcam,VISION_SIMCAM_FROM_LIBRARY>\""
  "VISION_SIMCAM_INSTALL_PATH=\"${CMAKE_INSTALL_PREFIX}/${_simcam_dir}/vision_simcam.cti\"")
# Tests and tools that run the library from the build tree need the producer built.
add_dependencies(vision_objects vision_simcam)
