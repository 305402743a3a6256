# The GenTL consumer: producers (.cti) found through GENICAM_GENTL64_PATH, loaded once per
# process, and cameras reached through them (src/camera/gentl/).
target_sources(vision PRIVATE
  src/camera/gentl/discovery.cpp
  src/camera/gentl/info.cpp
  src/camera/gentl/library.cpp
  src/camera/gentl/registry.cpp)
target_link_libraries(vision PRIVATE ${CMAKE_DL_LIBS})
