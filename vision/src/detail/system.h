// Internal access to the process-wide settings made with SetSystem. Not installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vision::detail {

// Threads the library's parallel code may use: "thread_num", resolved ("default" = cores).
int ThreadCount() noexcept;
// "int2_bits": -1 or 9..15.
int Int2Bits() noexcept;
bool UseWindowThread() noexcept;
int DefaultWidth() noexcept;
int DefaultHeight() noexcept;
// The "image_dir" setting split into directories.
std::vector<std::string> ImageDirs();
// The machine's memory in bytes (4 GiB where the system does not say).
std::uint64_t PhysicalMemory() noexcept;
// "search_memory_limit" in bytes: the most a shape search's buffers may take ("default": a
// quarter of the machine's memory, at least 256 MiB).
std::uint64_t SearchMemoryLimit() noexcept;
// Whether texts handed to the library are UTF-8 (otherwise the local 8-bit encoding).
bool StringEncodingIsUtf8() noexcept;

}  // namespace vision::detail
