// The moving-window filters as their backends see them: plain pointers and extents.
#pragma once

#include <cstddef>

// One call of average or variance, already checked: image, output and element are C-ordered,
// the output has the image's extents and overlaps neither input, every element extent is odd.
struct Window {
    const float *imIn;
    float *imOu;
    const float *stEl;
    size_t nz1, ny1, nx1;  // image
    size_t nz3, ny3, nx3;  // structuring element
    float stEl_sum;        // the weights added in window order
};

namespace scalar {
void average(const Window &w);
void variance(const Window &w);
}  // namespace scalar
