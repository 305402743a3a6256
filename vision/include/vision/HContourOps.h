// Operators on contours: generation, access to their points, painting them into images.
// Every operator validates its inputs and raises HException on bad ones (kOutOfMemory when memory
// runs out, never std::bad_alloc); outputs are written only on success.
#pragma once

#include "vision/Export.h"
#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

// A polygon through the points, each interior corner replaced by a circular arc of the given
// radius tangent to both edges, sampled at the given interval. The contour is closed when the
// first and last points coincide, and that corner is rounded too. A radius larger than the edges
// allow is reduced to fit.
VISION_API void GenContourPolygonRoundedXld(HObject* contour, const HTuple& rows,
                                            const HTuple& columns, const HTuple& radius,
                                            const HTuple& sampling_interval);
VISION_API void GenContourPolygonXld(HObject* contour, const HTuple& rows, const HTuple& columns);
VISION_API void GetContourXld(const HObject& contour, HTuple* rows, HTuple* columns);

// Fills the interior of each closed contour with the grey value into a copy of image; the input
// is left untouched. Pixels on the border get the value in proportion to their coverage. The
// work and memory depend on the image's size and the number of contour points only, however
// far outside the image a contour reaches.
VISION_API void PaintXld(const HObject& contour, const HObject& image, HObject* result,
                         const HTuple& grey_value);

}  // namespace vision
