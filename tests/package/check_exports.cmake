# Checks the shared library's exported symbols: the public interface and nothing else.
#   -DLIB=<the library file> -DFORMAT=ELF|PE -DTOOL=<nm for ELF, objdump for PE>
# Every exported name must be in namespace vision (functions and members, the type information
# and virtual tables of its classes), none in an internal namespace of it (vision::detail,
# vision::io, ...), none from the standard library; HException's type information must be
# exported, so that programs catch it by type.
cmake_minimum_required(VERSION 3.25)

if(FORMAT STREQUAL "ELF")
  execute_process(COMMAND ${TOOL} -D --defined-only --format=posix ${LIB}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed (${rc}): ${err}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE " .*" "" name "${line}")
    list(APPEND names "${name}")
  endforeach()
  # What the linker defines in every shared library.
  list(REMOVE_ITEM names _edata _end __bss_start _init _fini)
else()
  # The export table of a DLL: "[ordinal] name" lines after "[Ordinal/Name Pointer] Table".
  execute_process(COMMAND ${TOOL} -p ${LIB} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed (${rc}): ${err}")
  endif()
  string(FIND "${out}" "[Ordinal/Name Pointer] Table" at)
  if(at LESS 0)
    message(FATAL_ERROR "no export table in ${LIB}")
  endif()
  string(SUBSTRING "${out}" ${at} -1 out)
  string(REGEX MATCHALL "\n[\t ]*\\[[ 0-9]+\\] [^\n]+" lines "${out}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n[\t ]*\\[[ 0-9]+\\] " "" name "${line}")
    list(APPEND names "${name}")
  endforeach()
endif()

list(LENGTH names count)
if(count EQUAL 0)
  message(FATAL_ERROR "no exported symbols read from ${LIB}:\n${out}")
endif()
set(bad)
foreach(name IN LISTS names)
  # Mangled: _ZN6vision<length><name>... for functions and members (_ZNK for const members),
  # _ZTI/_ZTS/_ZTV for the type information and virtual table of a class. An internal namespace
  # is a lower-case name nested in vision (6detail, 2io, 6simcam): the public classes are not.
  if(NOT name MATCHES "^_Z(N|NK|TIN|TSN|TVN)6vision" OR
     name MATCHES "^_Z(N|NK|TIN|TSN|TVN)6vision[0-9]+[a-z]")
    # Operators are lower-case too (pl, eq, ...), but not nested names: they end the name there.
    if(NOT name MATCHES "^_ZN6vision(pl|mi|ml|dv|eq|lt)ERK")
      list(APPEND bad "${name}")
    endif()
  elseif(name MATCHES "6detail")
    # A public function whose parameters name an internal type (vision::detail::...).
    list(APPEND bad "${name}")
  endif()
endforeach()
if(bad)
  list(JOIN bad "\n  " bad)
  message(FATAL_ERROR "${LIB} exports symbols outside the public interface:\n  ${bad}")
endif()
if(NOT "_ZTIN6vision10HExceptionE" IN_LIST names)
  message(FATAL_ERROR "${LIB} does not export HException's type information")
endif()
foreach(name _ZN6vision9ReadImageEPNS_7HObjectERKNS_6HTupleE _ZNK6vision6HTuple11TupleLengthEv)
  if(NOT name IN_LIST names)
    message(FATAL_ERROR "${LIB} does not export ${name}")
  endif()
endforeach()
message(STATUS "${count} exported symbols, all of the public interface")
