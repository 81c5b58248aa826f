#pragma once
// Read-only access to the samples of a five-axis float image owned by
// someone else: a px::array, or a buffer of the caller's in the same layout
// (x fastest). Lets the engine read its noisy input where it already lies
// instead of from a copy of its own.

#include <cstdint>

#include "core/array.hpp"

namespace px {

struct image_view {
    extent dims{};
    const float* values = nullptr;
    std::int64_t samples = 0;

    // The samples of an array; it must outlive the view and keep its storage.
    image_view(const array& image)  // NOLINT(google-explicit-constructor): every array is a view
        : dims(image.dims), values(image.values.data()), samples(static_cast<std::int64_t>(image.values.size())) {}

    // shape.size() samples at values; empty (all dims 0) when the shape holds none.
    image_view(const extent& shape, const float* source) {
        if (shape.x < 1 || shape.y < 1 || shape.z < 1 || shape.c < 1 || shape.t < 1 || source == nullptr) return;
        dims = shape;
        values = source;
        samples = shape.size();
    }

    // The shape alone, for counting work by it: there are no samples to read.
    static image_view shape_only(const extent& shape) {
        image_view view(shape, nullptr);
        view.dims = shape;
        view.samples = shape.size();
        return view;
    }

    bool empty() const { return samples == 0; }
};

}  // namespace px
