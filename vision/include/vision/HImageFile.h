// Image files: reading and writing PNG, TIFF, JPEG, BMP and PGM/PPM.
// Every operator validates its inputs and raises HException on bad ones (kOutOfMemory when memory
// runs out, never std::bad_alloc); outputs are written only on success.
#pragma once

#include "vision/Export.h"
#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

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
VISION_API void ReadImage(HObject* image, const HTuple& file_name);
// Writes an image. format: "png" (byte or uint2, 1 or 3 channels), "tiff" (byte, uint2 or real),
// "jpeg" (byte, quality 95), "pgm"/"ppm"/"pnm" (byte or uint2), "bmp" (byte); the extension
// (.png, .tif, .jpg, .pgm/.ppm, .bmp) is added to file_name when it has none. fill_color is
// ignored (kept for interface symmetry) and may be 0. A name containing NUL or ending in a path
// separator raises kWrongParamValue; only regular files are written (kFileWrite for a
// directory, FIFO or device).
VISION_API void WriteImage(const HObject& image, const HTuple& format, const HTuple& fill_color,
                           const HTuple& file_name);

}  // namespace vision
