# The Windows package: one ZIP a user unzips and runs with nothing else installed, made from the
# mingw64 build by
#
#   cmake --build --preset mingw64 --target package     (builds what is out of date first)
#   cpack --preset mingw64                               (packs an already built tree)
#
# as build/mingw64/vision-<version>-win64.zip. It holds the install component "runtime" in the
# installed layout: bin/ with the tools, the library DLL, the GCC runtime DLLs and the simulated
# camera's producer; share/vision/images/ with the bundled images, which the library finds
# relative to its own DLL; README-Windows.txt and the licences of the bundled runtime. The
# development files (headers, import library, CMake package) are left out.
# scripts/test-platforms checks that every DLL the programs, the library and the producer import
# is in the package or one of Windows' own, and runs the tools from the unpacked package alone.
if(NOT WIN32 OR NOT VISION_INSTALL)
  return()
endif()

configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/README-Windows.txt.in
  ${PROJECT_BINARY_DIR}/package/README-Windows.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/package/README-Windows.txt DESTINATION . COMPONENT runtime)

# The licences of the third-party code in the package, as the Debian packages that provide it
# state them: GCC's runtime (libstdc++, libgcc), MinGW-w64 (winpthreads, the C runtime start-up
# code linked into every program) and zlib (linked into the library and the producer).
foreach(entry gcc-mingw-w64-base:gcc-runtime mingw-w64-common:mingw-w64 libz-mingw-w64-dev:zlib)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 debian_package)
  list(GET entry 1 name)
  set(copyright /usr/share/doc/${debian_package}/copyright)
  if(EXISTS ${copyright})
    configure_file(${copyright} ${PROJECT_BINARY_DIR}/package/licenses/${name}.txt COPYONLY)
    install(FILES ${PROJECT_BINARY_DIR}/package/licenses/${name}.txt DESTINATION licenses
      COMPONENT runtime)
  else()
    message(WARNING "${copyright} not found: the Windows package goes without ${name}'s licence")
  endif()
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vision)
set(CPACK_PACKAGE_VENDOR "vision")
set(CPACK_PACKAGE_FILE_NAME vision-${PROJECT_VERSION}-win64)
# Only the runtime component, in one archive under one top folder.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL runtime)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Programs, library and producer without their symbol tables.
set(CPACK_STRIP_FILES ON)
include(CPack)
