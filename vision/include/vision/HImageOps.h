// Operators on images: creation, size, access to pixels and grey values. Image files are in
// HImageFile.h, contours in HContourOps.h.
// Every operator validates its inputs and raises HException on bad ones (kOutOfMemory when memory
// runs out, never std::bad_alloc); outputs are written only on success.
#pragma once

#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

void GetImageSize(const HObject& image, HTuple* width, HTuple* height);
// A new image of type "byte", "uint2" or "real", all pixels 0.
void GenImageConst(HObject* image, const HTuple& type, const HTuple& width, const HTuple& height);
// A one-channel image from memory (copied). pixels holds width*height values of the type.
void GenImage1(HObject* image, const HTuple& type, Hlong width, Hlong height, const void* pixels);
// A three-channel image from three planes (copied).
void GenImage3(HObject* image, const HTuple& type, Hlong width, Hlong height, const void* red,
               const void* green, const void* blue);
// Pointer to the first channel's pixels, valid while the image lives.
const void* GetImagePointer1(const HObject& image, HTuple* type, Hlong* width, Hlong* height);
void GetImagePointer3(const HObject& image, const void** red, const void** green, const void** blue,
                      HTuple* type, Hlong* width, Hlong* height);
void CountChannels(const HObject& image, HTuple* channels);
// Grey value(s) at integer pixel positions: for each position, one value per channel.
void GetGrayval(const HObject& image, const HTuple& rows, const HTuple& columns, HTuple* values);

}  // namespace vision
