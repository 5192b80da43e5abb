// The moving-window filters as their backends see them: plain pointers and extents.
// Included by the vector backends too, so it holds declarations only: an inline function
// defined here would be compiled with their instruction-set flags as well.
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

// Each backend writes the interior voxels of w.imOu. All give the same bits: a vector lane is
// one output voxel and adds its own window terms in window order, as the scalar loop does.
namespace scalar {
void average(const Window &w);
void variance(const Window &w);
}  // namespace scalar
namespace avx2 {
void average(const Window &w);
void variance(const Window &w);
}  // namespace avx2
namespace avx512 {
void average(const Window &w);
void variance(const Window &w);
}  // namespace avx512
