# Sources of the window area: the platform-independent part and one window-system backend.
target_sources(vision_objects PRIVATE
  src/window/window.cpp
  src/window/canvas.cpp)

if(WIN32)
  target_sources(vision_objects PRIVATE src/window/win32_backend.cpp)
  target_link_libraries(vision_objects PRIVATE user32 gdi32)
else()
  find_package(X11 REQUIRED)
  if(NOT TARGET X11::Xext)
    message(FATAL_ERROR "libXext (MIT-SHM) is needed for windows: install libxext-dev")
  endif()
  target_sources(vision_objects PRIVATE src/window/x11_backend.cpp)
  target_link_libraries(vision_objects PRIVATE X11::X11 X11::Xext)
endif()
