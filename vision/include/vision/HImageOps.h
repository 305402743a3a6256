// Operators on images: creation, size, access to pixels and grey values. Image files are in
// HImageFile.h, contours in HContourOps.h.
// Every operator validates its inputs and raises HException on bad ones (kOutOfMemory when memory
// runs out, never std::bad_alloc); outputs are written only on success.
#pragma once

#include "vision/Export.h"
#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

VISION_API void GetImageSize(const HObject& image, HTuple* width, HTuple* height);
// A new image of type "byte", "uint2" or "real", all pixels 0.
VISION_API void GenImageConst(HObject* image, const HTuple& type, const HTuple& width,
                              const HTuple& height);
// A one-channel image from memory (copied). pixels holds width*height values of the type.
VISION_API void GenImage1(HObject* image, const HTuple& type, Hlong width, Hlong height,
                          const void* pixels);
// A three-channel image from three planes (copied).
VISION_API void GenImage3(HObject* image, const HTuple& type, Hlong width, Hlong height,
                          const void* red, const void* green, const void* blue);
// Pointer to the first channel's pixels, valid while the image lives.
VISION_API const void* GetImagePointer1(const HObject& image, HTuple* type, Hlong* width,
                                        Hlong* height);
VISION_API void GetImagePointer3(const HObject& image, const void** red, const void** green,
                                 const void** blue, HTuple* type, Hlong* width, Hlong* height);
VISION_API void CountChannels(const HObject& image, HTuple* channels);
// Grey value(s) at integer pixel positions: for each position, one value per channel.
VISION_API void GetGrayval(const HObject& image, const HTuple& rows, const HTuple& columns,
                           HTuple* values);

}  // namespace vision
