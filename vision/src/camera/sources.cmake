# Camera area: HFramegrabber over a seam of our own (src/camera/camera.h) with two
# transports: GenTL producers (src/camera/gentl, every target; the simulated camera is one) and,
# on Linux, Aravis for GigE Vision and USB3 Vision cameras (option VISION_WITH_ARAVIS).
option(VISION_WITH_ARAVIS "Reach GigE Vision and USB3 Vision cameras through Aravis 0.8" ON)

target_sources(vision_objects PRIVATE
  src/camera/camera.cpp
  src/camera/features.cpp
  src/camera/framegrabber.cpp)

if(VISION_WITH_ARAVIS)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ARAVIS REQUIRED IMPORTED_TARGET GLOBAL aravis-0.8)
  target_sources(vision_objects PRIVATE src/camera/aravis.cpp)
  target_compile_definitions(vision_objects PRIVATE VISION_WITH_ARAVIS)
  target_link_libraries(vision_objects PRIVATE PkgConfig::ARAVIS)
endif()
