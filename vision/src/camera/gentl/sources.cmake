# The GenTL consumer: producers (.cti) found through GENICAM_GENTL64_PATH, loaded once per
# process, and cameras reached through them (src/camera/gentl/). Included after the simulated
# camera's producer (vision/producer), whose option parser it shares and whose file it finds
# for VISION_FAKE_CAMERA.
target_sources(vision_objects PRIVATE
  src/camera/gentl/device.cpp
  src/camera/gentl/discovery.cpp
  src/camera/gentl/info.cpp
  src/camera/gentl/library.cpp
  src/camera/gentl/registry.cpp
  src/camera/gentl/transport.cpp
  ${VISION_SIMCAM_OPTIONS_SOURCE})
target_include_directories(vision_objects PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(vision_objects PRIVATE ${CMAKE_DL_LIBS})

# Where the simulated camera's producer is: the target's file in the build tree, beside the
# installed library once installed, the configured prefix as the last resort.
set_property(SOURCE src/camera/gentl/transport.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  "VISION_SIMCAM_BUILD_PATH=\"$<TARGET_FILE:vision_simcam>\""
  "VISION_SIMCAM_FROM_LIBRARY=\"${VISION_SIMCAM_FROM_LIBRARY}\""
  "VISION_SIMCAM_INSTALL_PATH=\"${CMAKE_INSTALL_PREFIX}/${VISION_SIMCAM_INSTALL_DIR}/vision_simcam.cti\"")
# Tests and tools that run the library from the build tree need the producer built.
add_dependencies(vision_objects vision_simcam)
