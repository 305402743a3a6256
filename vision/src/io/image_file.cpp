// ReadImage and WriteImage: name resolution, file access and the choice of codec.
#include <algorithm>
#include <cctype>
#include <new>

#include "detail/error.h"
#include "detail/iconic.h"
#include "detail/param.h"
#include "io/codec.h"
#include "io/files.h"
#include "vision/HErrorCodes.h"
#include "vision/HImageFile.h"

namespace vision {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool HasExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::size_t dot = path.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
         dot + 1 < path.size();
}

}  // namespace

namespace {

void ReadImageImpl(HObject* image, const HTuple& file_name) {
  constexpr const char* proc = io::kReadProc;
  if (image == nullptr) detail::Fail(err::kNullOutput, proc, "no output object given");
  if (file_name.IsEmpty()) detail::Fail(err::kWrongParamCount, proc, "no file name given");
  std::vector<HObject::Part> parts;
  for (Hlong i = 0; i < file_name.Length(); ++i) {
    if (file_name.Type(i) != HTupleType::String) {
      detail::BadParam(err::kWrongParamType, proc, "FileName", file_name, "texts expected");
    }
  }
  // Every name is checked before the first file is read.
  for (Hlong i = 0; i < file_name.Length(); ++i) {
    io::CheckFileName(file_name[i].S().Str(), proc, "FileName");
  }
  for (Hlong i = 0; i < file_name.Length(); ++i) {
    const std::string name = file_name[i].S().Str();
    const std::string path = io::ResolveImageFile(name, proc);
    const std::vector<std::uint8_t> bytes = io::ReadFileBytes(path, proc);
    HObject one = detail::MakeObject(io::DecodeImage(bytes.data(), bytes.size(), path));
    parts.push_back(one.Parts().front());
  }
  *image = HObject(std::move(parts));
}

void WriteImageImpl(const HObject& image, const HTuple& format, const HTuple& file_name) {
  constexpr const char* proc = io::kWriteProc;
  const detail::ImageData& data = detail::SingleImage(image, proc);
  const std::string fmt = Lower(detail::TextParam(format, proc, "Format"));
  std::string path;
  if (!detail::ReadText(file_name, &path) || path.empty()) {
    detail::BadParam(err::kWrongParamType, proc, "FileName", file_name, "one text expected");
  }
  io::CheckFileName(path, proc, "FileName");
  // "out/" names a folder (and on Windows "D:" a drive's current folder): adding the extension
  // would write the hidden file "out/.png".
#ifdef _WIN32
  const bool folder = path.back() == '/' || path.back() == '\\' || path.back() == ':';
#else
  const bool folder = path.back() == '/';
#endif
  if (folder) {
    detail::Fail(err::kWrongParamValue, proc,
                 "parameter FileName = '" + io::Printable(path) +
                     "' ends in a path separator: it names a folder, not a file");
  }
  std::string ext;
  std::vector<std::uint8_t> bytes;
  if (fmt == "png") {
    ext = ".png";
    bytes = io::EncodePng(data, path);
  } else if (fmt == "tiff" || fmt == "tif") {
    ext = ".tif";
    bytes = io::EncodeTiff(data, path);
  } else if (fmt == "jpeg" || fmt == "jpg") {
    ext = ".jpg";
    bytes = io::EncodeJpeg(data, path);
  } else if (fmt == "pgm" || fmt == "ppm" || fmt == "pnm") {
    ext = data.Channels() == 3 ? ".ppm" : ".pgm";
    bytes = io::EncodePnm(data, path);
  } else if (fmt == "bmp") {
    ext = ".bmp";
    bytes = io::EncodeBmp(data, path);
  } else {
    detail::BadParam(err::kWrongParamValue, proc, "Format", format,
                     "expected 'png', 'tiff', 'jpeg', 'pgm', 'ppm', 'pnm' or 'bmp'");
  }
  if (!HasExtension(path)) path += ext;
  io::WriteFileBytes(path, bytes, proc);
}

}  // namespace

// Memory runs out only for very large images; that is reported like any other failure.
void ReadImage(HObject* image, const HTuple& file_name) {
  try {
    ReadImageImpl(image, file_name);
  } catch (const std::bad_alloc&) {
    detail::Fail(err::kOutOfMemory, io::kReadProc,
                 "not enough memory to read " + detail::Describe(file_name));
  }
}

void WriteImage(const HObject& image, const HTuple& format, const HTuple& fill_color,
                const HTuple& file_name) {
  (void)fill_color;
  try {
    WriteImageImpl(image, format, file_name);
  } catch (const std::bad_alloc&) {
    detail::Fail(err::kOutOfMemory, io::kWriteProc,
                 "not enough memory to encode " + detail::Describe(file_name));
  }
}

}  // namespace vision
