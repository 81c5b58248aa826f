// Generalised Anscombe transform and its inverse, one channel at a time with
// that channel's gain and offset, and the parameter check both rely on.

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "noise/sensor_noise.hpp"

namespace px {

namespace {

void require_one_per_channel(const std::vector<float>& entries, const char* name, int channels) {
    if (channels <= 0 || entries.size() >= static_cast<std::size_t>(channels)) return;
    throw std::invalid_argument(std::string(name) + " needs one entry per channel: got " +
                                std::to_string(entries.size()) + " for " + std::to_string(channels) +
                                (channels == 1 ? " channel" : " channels"));
}

// Applies new_value(v) to every sample of channel c, the samples split into
// one contiguous run per thread.
template <class Transform>
void transform_channel(array& image, std::int32_t c, const Transform& new_value) {
    const extent& dims = image.dims;
    float* samples = image.values.data();
    // 64-bit loop counters: the collapsed count of one channel may exceed 2^31.
    const std::int64_t width = dims.x, height = dims.y, depth = dims.z, frames = dims.t, channels = dims.c;
#pragma omp parallel for collapse(4) schedule(static)
    for (std::int64_t t = 0; t < frames; ++t) {
        for (std::int64_t z = 0; z < depth; ++z) {
            for (std::int64_t y = 0; y < height; ++y) {
                for (std::int64_t x = 0; x < width; ++x) {
                    float& v = samples[x + width * (y + height * (z + depth * (c + channels * t)))];
                    v = new_value(v);
                }
            }
        }
    }
}

}  // namespace

void sensor_noise::check_parameters(int channels) const {
    require_one_per_channel(gain, "gain", channels);
    require_one_per_channel(offset, "offset", channels);
    for (int c = 0; c < channels; ++c) {
        // Both transforms divide by the gain.
        if (!std::isfinite(gain[c]) || gain[c] == 0.0f) {
            throw std::invalid_argument("gain entries must be finite and non-zero");
        }
        if (!std::isfinite(offset[c])) throw std::invalid_argument("offset entries must be finite");
    }
}

void sensor_noise::gat(array& image) const {
    check_parameters(image.dims.c);
    for (std::int32_t c = 0; c < image.dims.c; ++c) {
        const float g = gain[c];
        const float shift = (g * g) * 0.375f + offset[c];
        const float scale = 2.0f / g;
        transform_channel(image, c, [=](float v) {
            // Where g v + shift is negative or NaN the result is 0.
            const float argument = g * v + shift;
            return scale * std::sqrt(argument > 0.0f ? argument : 0.0f);
        });
    }
}

void sensor_noise::igat(array& image) const {
    check_parameters(image.dims.c);
    for (std::int32_t c = 0; c < image.dims.c; ++c) {
        const float g = gain[c];
        const float quarter_gain = g * 0.25f;
        const float shift = (-offset[c]) / g + 0.25f;
        transform_channel(image, c, [=](float v) { return (v * v - 1.5f) * quarter_gain + shift; });
    }
}

}  // namespace px
