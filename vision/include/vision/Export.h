// VISION_API marks what the shared library exports: the public classes and operators of these
// headers. The library is built with everything else hidden, so its interface to programs is
// exactly what the public headers declare.
//
// Windows: dllexport while the library is built (VISION_BUILDING_LIBRARY), dllimport for the
// programs that use the DLL, nothing for the build's own tests, which link the library's objects
// statically (VISION_LINKING_INTERNALS). Elsewhere: default visibility.
#pragma once

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(VISION_BUILDING_LIBRARY)
#define VISION_API __declspec(dllexport)
#elif defined(VISION_LINKING_INTERNALS)
#define VISION_API
#else
#define VISION_API __declspec(dllimport)
#endif
#else
#define VISION_API __attribute__((visibility("default")))
#endif
