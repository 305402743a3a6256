# Builds and runs the outside project in consumer/ against the vision package.
#   -DMODE=install: installs the build tree (BUILD_DIR) into a scratch prefix first and uses that;
#   -DMODE=build-tree: uses the build tree's own package files.
# Other inputs: SOURCE_DIR (this folder), WORK_DIR (scratch), GENERATOR, CXX_COMPILER, BUNDLED
# (ON when the sample images are part of the build), VERSION (the project version, which the
# consumer must see in vision/Version.h), TOOL (an installed program, relative to the prefix, run
# from there with the simulated camera; empty for none), EMULATOR (what runs the build's programs
# when cross-compiling).
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/scratch")
if(MODE STREQUAL "install")
  set(prefix "${WORK_DIR}/prefix")
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
  foreach(f include/vision/vision.h include/vision/Export.h include/vision/HImageOps.h
      include/vision/HImageFile.h
      include/vision/HContourOps.h include/vision/Version.h)
    if(NOT EXISTS "${prefix}/${f}")
      message(FATAL_ERROR "not installed: ${f}")
    endif()
  endforeach()
  if(NOT IS_DIRECTORY "${prefix}/share/vision/images")
    message(FATAL_ERROR "not installed: share/vision/images")
  endif()
  set(find_args "-DCMAKE_PREFIX_PATH=${prefix}")
else()
  set(find_args "-Dvision_DIR=${BUILD_DIR}")
endif()
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/consumer" -B "${WORK_DIR}/build" -G "${GENERATOR}"
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=Release ${find_args})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
set(args "${WORK_DIR}/scratch")
if(BUNDLED)
  list(APPEND args bundled)
endif()
# Run from the scratch folder, so the bundled image can only come from the package's own folder.
execute_process(COMMAND "${WORK_DIR}/build/consumer" ${args} WORKING_DIRECTORY "${WORK_DIR}/scratch"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer failed (${rc}):\n${out}\n${err}")
endif()
message(STATUS "${out}")
if(NOT out MATCHES "\\(library ${VERSION}\\)")
  message(FATAL_ERROR "the consumer did not see the library version ${VERSION} in vision/Version.h")
endif()
if(MODE STREQUAL "install")
  # The installed library must not depend on the build tree: check that it found the images
  # under the prefix, not under the build folder.
  file(GLOB_RECURSE installed_images "${prefix}/share/vision/images/*")
  if(BUNDLED AND NOT installed_images)
    message(FATAL_ERROR "no bundled images under ${prefix}/share/vision/images")
  endif()
  # An installed program runs from the prefix as it is, with no help from the loader's search
  # path: it finds the library through its own run path (beside it on Windows), and the library
  # finds the simulated camera's producer beside itself, under the prefix.
  if(TOOL)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=DYLD_LIBRARY_PATH
              --unset=GENICAM_GENTL64_PATH VISION_FAKE_CAMERA= ${EMULATOR} "${prefix}/${TOOL}"
      WORKING_DIRECTORY "${WORK_DIR}/scratch"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "installed ${TOOL} failed (${rc}):\n${out}\n${err}")
    endif()
    message(STATUS "${TOOL}:\n${out}")
    file(REAL_PATH "${prefix}" real_prefix)
    string(FIND "${out}" "loaded '${real_prefix}/" at)
    if(at LESS 0)
      message(FATAL_ERROR "installed ${TOOL} did not load the simulated camera from ${prefix}:\n"
        "${out}")
    endif()
  endif()
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
