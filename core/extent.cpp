#include "core/extent.hpp"

#include <cstdio>

namespace px {

const char* extent::to_str() const {
    static char text[512];
    std::snprintf(text, sizeof text, "%d x %d x %d x %d x %d", x, y, z, c, t);
    return text;
}

}  // namespace px
