// Shape-based matching with rotation and anisotropic scaling.
#pragma once

#include "vision/Export.h"
#include "vision/HObject.h"
#include "vision/HTuple.h"

namespace vision {

// Builds a shape model from the edges of a template image. Angles in radians; "auto" is allowed
// for the pyramid levels, the angle step, the scale steps and the contrast. The model handle is
// released when the last tuple holding it goes. Creating a model also starts the library's
// threads and searches the new model once in its own template, so that the calling thread's
// first real search finds its buffers (3.5 MiB, kept per calling thread, enough for images up to
// 2592 x 1944) and the scan tables of the model's range ready.
VISION_API void CreateAnisoShapeModel(const HObject& templ, const HTuple& num_levels,
                                      const HTuple& angle_start, const HTuple& angle_extent,
                                      const HTuple& angle_step, const HTuple& scale_r_min,
                                      const HTuple& scale_r_max, const HTuple& scale_r_step,
                                      const HTuple& scale_c_min, const HTuple& scale_c_max,
                                      const HTuple& scale_c_step, const HTuple& optimization,
                                      const HTuple& metric, const HTuple& contrast,
                                      const HTuple& min_contrast, HTuple* model_id);

// Finds instances of the model in image. Each output gets one element per match, best first.
VISION_API void FindAnisoShapeModel(const HObject& image, const HTuple& model_id,
                                    const HTuple& angle_start, const HTuple& angle_extent,
                                    const HTuple& scale_r_min, const HTuple& scale_r_max,
                                    const HTuple& scale_c_min, const HTuple& scale_c_max,
                                    const HTuple& min_score, const HTuple& num_matches,
                                    const HTuple& max_overlap, const HTuple& sub_pixel,
                                    const HTuple& num_levels, const HTuple& greediness, HTuple* row,
                                    HTuple* column, HTuple* angle, HTuple* scale_r, HTuple* scale_c,
                                    HTuple* score);

}  // namespace vision
