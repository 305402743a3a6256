# Image files: PNG, TIFF and JPEG through libpng, libtiff and libjpeg (on Windows through the
# Windows Imaging Component instead); BMP and PGM/PPM are parsed here. Plus the image search path.
target_sources(vision_objects PRIVATE
  src/io/codec_common.cpp
  src/io/bmp.cpp
  src/io/pnm.cpp
  src/io/files.cpp
  src/io/image_file.cpp)
if(WIN32)
  target_sources(vision_objects PRIVATE src/io/wic.cpp)
  target_link_libraries(vision_objects PRIVATE windowscodecs ole32)
else()
  find_package(PNG REQUIRED)
  find_package(TIFF REQUIRED)
  find_package(JPEG REQUIRED)
  target_sources(vision_objects PRIVATE
    src/io/png.cpp
    src/io/tiff.cpp
    src/io/jpeg.cpp)
  target_link_libraries(vision_objects PRIVATE PNG::PNG TIFF::TIFF JPEG::JPEG ${CMAKE_DL_LIBS})
endif()

# Where the bundled images are: the build tree's staging directory while the library runs from
# the build tree; after installation <prefix>/share/vision/images, found relative to the
# installed library (its lib directory, or bin for a Windows DLL) with the configured prefix as
# the last resort.
if(WIN32)
  set(_vision_lib_install_dir "${CMAKE_INSTALL_FULL_BINDIR}")
else()
  set(_vision_lib_install_dir "${CMAKE_INSTALL_FULL_LIBDIR}")
endif()
file(RELATIVE_PATH _vision_lib_to_images "${_vision_lib_install_dir}"
  "${CMAKE_INSTALL_FULL_DATADIR}/vision/images")
set_property(SOURCE src/io/files.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  "VISION_BUILD_IMAGE_DIR=\"${VISION_BUILD_DATA_DIR}/images\""
  "VISION_LIB_TO_IMAGES=\"${_vision_lib_to_images}\""
  "VISION_INSTALL_IMAGE_DIR=\"${CMAKE_INSTALL_FULL_DATADIR}/vision/images\"")

if(VISION_INSTALL)
  # The bundled image folder exists in every installation; the images' generator installs its
  # files into it.
  file(MAKE_DIRECTORY "${VISION_BUILD_DATA_DIR}/images")
  install(DIRECTORY DESTINATION "${CMAKE_INSTALL_DATADIR}/vision/images")
endif()
