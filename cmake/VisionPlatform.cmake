# Platform specifics of the build: Windows resources, the MinGW runtime next to the programs and
# the installed programs' run path.

# vision_windows_resources(<target> <description>): embeds the application manifest (run as the
# invoking user, no elevation) and version information into a Windows program. No effect
# elsewhere.
function(vision_windows_resources target description)
  if(NOT WIN32 OR NOT TARGET ${target})
    return()
  endif()
  set(VISION_TOOL ${target})
  set(VISION_TOOL_DESCRIPTION "${description}")
  set(VISION_MANIFEST "${PROJECT_SOURCE_DIR}/cmake/windows/tool.manifest")
  set(rc "${PROJECT_BINARY_DIR}/windows/${target}.rc")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/windows/tool.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
  set_property(SOURCE "${rc}" APPEND PROPERTY OBJECT_DEPENDS
    "${PROJECT_SOURCE_DIR}/cmake/windows/tool.manifest")
endfunction()

# MinGW programs need the GCC runtime DLLs (libstdc++, libgcc, winpthread) beside them: they are
# copied next to the programs and installed with them. The library is a DLL too, so the runtime
# stays shared (one C++ runtime for library and programs) rather than linked in statically.
function(vision_mingw_runtime)
  if(NOT MINGW)
    return()
  endif()
  set(dlls)
  foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      # The compiler driver does not know winpthread's DLL; it lives with the target's libraries.
      find_file(path_${name} ${name} PATHS ${CMAKE_FIND_ROOT_PATH} PATH_SUFFIXES lib bin
        NO_DEFAULT_PATH)
      set(path "${path_${name}}")
    endif()
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "MinGW runtime DLL ${name} not found")
    endif()
    list(APPEND dlls "${path}")
  endforeach()
  set(dir "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  if(NOT dir)
    set(dir "${PROJECT_BINARY_DIR}/bin")
  endif()
  file(COPY ${dlls} DESTINATION "${dir}")
  if(VISION_INSTALL)
    install(FILES ${dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
    # Debian ships them with debugging information (libstdc++ 24 MB, 4 MB without): a stripping
    # installation (cmake --install --strip, the Windows package) strips them too.
    if(CMAKE_STRIP)
      foreach(dll ${dlls})
        get_filename_component(name "${dll}" NAME)
        install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${name}\")
endif()")
      endforeach()
    endif()
  endif()
endfunction()

# vision_link_zlib(<target>): links zlib into a target. MinGW builds link the static library:
# Windows has no zlib1.dll of its own, and a Windows package should need no DLL beyond its
# programs, the library, the GCC runtime and the system's (Wine brings a zlib1.dll of its own,
# which would hide the lack of one under Wine).
function(vision_link_zlib target)
  find_package(ZLIB REQUIRED)
  if(MINGW)
    find_library(VISION_ZLIB_STATIC NAMES libz.a PATHS ${CMAKE_FIND_ROOT_PATH}
                 PATH_SUFFIXES lib NO_DEFAULT_PATH)
    if(VISION_ZLIB_STATIC)
      target_include_directories(${target} SYSTEM PRIVATE ${ZLIB_INCLUDE_DIRS})
      target_link_libraries(${target} PRIVATE ${VISION_ZLIB_STATIC})
      return()
    endif()
  endif()
  target_link_libraries(${target} PRIVATE ZLIB::ZLIB)
endfunction()

# vision_install_program(<target>): installs a program into <prefix>/bin with a run path
# relative to its own folder ($ORIGIN/../lib for the usual layout), so an installed program finds
# the installed library wherever the prefix is and without LD_LIBRARY_PATH. Windows needs none:
# the library's DLL is installed beside the programs.
function(vision_install_program target)
  if(NOT VISION_INSTALL)
    return()
  endif()
  if(NOT WIN32)
    set(bin ${CMAKE_INSTALL_BINDIR})
    set(lib ${CMAKE_INSTALL_LIBDIR})
    if(NOT IS_ABSOLUTE "${bin}")
      set(bin "${CMAKE_INSTALL_PREFIX}/${bin}")
    endif()
    if(NOT IS_ABSOLUTE "${lib}")
      set(lib "${CMAKE_INSTALL_PREFIX}/${lib}")
    endif()
    file(RELATIVE_PATH to_lib "${bin}" "${lib}")
    if(APPLE)
      set(origin "@loader_path")
    else()
      set(origin "$ORIGIN")
    endif()
    if(to_lib)
      set(origin "${origin}/${to_lib}")
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${origin}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
