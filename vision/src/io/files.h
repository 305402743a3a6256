// File access in the encoding the caller's texts use, and the image search path. Not installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vision::io {

// Paths are texts in the interface encoding (UTF-8 or the local 8-bit code page, see
// SetHcppInterfaceStringEncodingIsUtf8); on Windows they are converted before use.
bool IsRegularFile(const std::string& path);
// What a path names other than a regular file, for messages: "a directory", "a FIFO (named
// pipe)", "a character device", ...; "" for a regular file or nothing at all.
std::string NonFileKind(const std::string& path);
// Raises kWrongParamValue (naming parameter param of proc) when name cannot be a file name: a
// NUL character in it would make the system see only the text before it.
void CheckFileName(const std::string& name, const char* proc, const char* param);
// name for messages, with control characters (NUL among them) escaped.
std::string Printable(const std::string& name);
// Reads a whole regular file without blocking on a FIFO or device; raises kFileRead (cannot
// open/read, or not a regular file) or kFileLimits (too large).
std::vector<std::uint8_t> ReadFileBytes(const std::string& path, const char* proc);
// Writes a whole regular file (a FIFO, device or directory is refused); raises kFileWrite.
void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes,
                    const char* proc);

// The directories searched after the working directory, in order: "image_dir", then
// VISION_IMAGE_DIR, then the bundled image directory.
std::vector<std::string> ImageSearchPath();
// The bundled image directory of this library: the build tree's while the library runs from
// there, else <prefix>/share/vision/images next to the installed library.
std::string BundledImageDir();

// The folder this library was loaded from ("" when unknown), and whether two paths name the same
// folder (symbolic links resolved; case-insensitive on Windows).
std::string LibraryDir();
bool SameDir(const std::string& a, const std::string& b);

// Finds the file for name (with or without extension); raises kWrongParamValue for a name that
// cannot be a file name, kFileRead when the only candidates found are not regular files (a
// directory, a FIFO, a device: the message says which), kFileNotFound naming every place tried.
std::string ResolveImageFile(const std::string& name, const char* proc);

}  // namespace vision::io
