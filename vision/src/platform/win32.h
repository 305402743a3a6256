// The one way the code includes <windows.h>: without the min/max macros, which break
// std::min and std::max, and without the rarely used parts (COM, sockets, shell), whose macros
// (`interface` among them) break ordinary C++ names. A file that needs more includes that header
// after this one.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif
