#pragma once
// The reference positions of one pass: count[a] positions along each axis a
// (x, y, z, t) from first[a] with spacing step[a], numbered with x fastest.

#include <cstdint>

namespace px {

struct reference_grid {
    std::int32_t first[4];
    std::int32_t step[4];
    std::int32_t count[4];

    std::int64_t size() const {
        std::int64_t total = 1;
        for (const std::int32_t n : count) total *= n > 0 ? n : 0;
        return total;
    }

    // Position number i.
    void position(std::int64_t i, std::int32_t (&p)[4]) const {
        for (int a = 0; a < 4; ++a) {
            p[a] = first[a] + step[a] * static_cast<std::int32_t>(i % count[a]);
            i /= count[a];
        }
    }

    // The positions after p (a position of the grid) in the same row along x.
    std::int32_t following(const std::int32_t (&p)[4]) const {
        return (first[0] + step[0] * (count[0] - 1) - p[0]) / step[0];
    }
};

// Slabs of a grid: the positions that share their index along one axis.
// Two slabs `colours` or more apart along that axis hold patches that never
// overlap, so the slabs of one colour (index modulo colours) can be swept by
// different threads at once with plain additions, and the colours one after
// the other. Within a slab, positions keep their grid order.
struct slab_plan {
    int axis = -1;  // -1: no axis gives enough slabs to share
    std::int32_t colours = 1;

    // The axis (y, z, t first, x last: its slabs are columns) with the most
    // slabs per colour, provided it has at least min_per_colour of them.
    slab_plan(const reference_grid& grid, const std::int32_t (&patch_radius)[4], std::int64_t min_per_colour) {
        std::int64_t best = 0;
        for (const int a : {1, 2, 3, 0}) {
            // Patches of slabs k apart are disjoint once k * step > 2 * radius.
            const std::int32_t k = 2 * patch_radius[a] / grid.step[a] + 1;
            const std::int64_t per_colour = grid.count[a] / k;
            if (per_colour > best && per_colour >= min_per_colour) {
                best = per_colour;
                axis = a;
                colours = k;
            }
        }
    }

    // Slabs of colour c.
    std::int32_t slabs(const reference_grid& grid, std::int32_t c) const {
        return (grid.count[axis] - c + colours - 1) / colours;
    }

    // Calls visit(p, following) for every position of slab s (index s along
    // the axis), in grid order; following counts the positions after p in
    // its row along x within the slab.
    template <class Visit>
    void each_position(const reference_grid& grid, std::int32_t s, Visit&& visit) const {
        reference_grid slab = grid;
        slab.first[axis] = grid.first[axis] + grid.step[axis] * s;
        slab.count[axis] = 1;
        const std::int64_t n = slab.size();
        std::int32_t p[4];
        for (std::int64_t i = 0; i < n; ++i) {
            slab.position(i, p);
            visit(p, slab.following(p));
        }
    }
};

}  // namespace px
