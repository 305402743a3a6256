// Operators on images and contours: creation, files, access to pixels and points, painting.
// Every operator validates its inputs and raises HException on bad ones (kOutOfMemory when memory
// runs out, never std::bad_alloc); outputs are written only on success.
#pragma once

#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

// --- Images -------------------------------------------------------------------------------------

// Reads an image file. The name may omit the extension; it is tried as given and with each known
// extension (.png .tif .tiff .jpg .jpeg .bmp .pgm .ppm .pnm), relative to the working directory,
// then under each directory of the image path ("image_dir", the environment variable
// VISION_IMAGE_DIR, then the bundled image directory). An absolute name is tried only as is.
// The format is recognised from the file's contents. Formats: PNG, TIFF, JPEG, BMP, PGM/PPM
// (P5/P6). 8-bit grey gives one "byte" channel, colour three "byte" channels (red, green, blue);
// 16-bit samples give "uint2" (clamped to "int2_bits" significant bits when that is set; a PNG
// that declares fewer significant bits is first shifted down to them), 32-bit float TIFF "real".
// Alpha is dropped. Several names give an object with several images.
// Errors: kWrongParamValue (a name containing NUL), kFileNotFound (message lists the places
// tried), kFileRead (cannot be read, or the name is a directory, FIFO or device: the message
// says which), kFileFormat (corrupt, truncated or unsupported), kFileLimits (dimensions past the
// library's limits), kOutOfMemory.
void ReadImage(HObject* image, const HTuple& file_name);
// Writes an image. format: "png" (byte or uint2, 1 or 3 channels), "tiff" (byte, uint2 or real),
// "jpeg" (byte, quality 95), "pgm"/"ppm"/"pnm" (byte or uint2), "bmp" (byte); the extension
// (.png, .tif, .jpg, .pgm/.ppm, .bmp) is added to file_name when it has none. fill_color is
// ignored (kept for interface symmetry) and may be 0. A name containing NUL or ending in a path
// separator raises kWrongParamValue; only regular files are written (kFileWrite for a
// directory, FIFO or device).
void WriteImage(const HObject& image, const HTuple& format, const HTuple& fill_color,
                const HTuple& file_name);

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

// --- Contours -----------------------------------------------------------------------------------

// A polygon through the points, each interior corner replaced by a circular arc of the given
// radius tangent to both edges, sampled at the given interval. The contour is closed when the
// first and last points coincide, and that corner is rounded too. A radius larger than the edges
// allow is reduced to fit.
void GenContourPolygonRoundedXld(HObject* contour, const HTuple& rows, const HTuple& columns,
                                 const HTuple& radius, const HTuple& sampling_interval);
void GenContourPolygonXld(HObject* contour, const HTuple& rows, const HTuple& columns);
void GetContourXld(const HObject& contour, HTuple* rows, HTuple* columns);

// Fills the interior of each closed contour with the grey value into a copy of image; the input
// is left untouched. Pixels on the border get the value in proportion to their coverage. The
// work and memory depend on the image's size and the number of contour points only, however
// far outside the image a contour reaches.
void PaintXld(const HObject& contour, const HObject& image, HObject* result,
              const HTuple& grey_value);

}  // namespace vision
