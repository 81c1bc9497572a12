#include "canvas/BrushStamp.h"

#include <algorithm>
#include <cmath>

std::shared_ptr<const BrushStamp> BrushStamp::make(float hardness, float maskScale)
{
    auto stamp = std::make_shared<BrushStamp>();
    const float diameter = std::min(200.0f / maskScale, float(maxSize));
    stamp->size = std::max(0, int(diameter));
    stamp->radius = double(diameter) * 0.5;
    stamp->hardness = hardness;
    const int size = stamp->size;
    stamp->alpha.assign(std::size_t(size) * size, 0);

    const double radius = stamp->radius;
    const double h = hardness;
    if (radius <= 0)
        return stamp;
    for (int y = 0; y < size; ++y) {
        std::uint8_t* row = stamp->alpha.data() + std::size_t(y) * size;
        const double dy = y + 0.5 - radius;
        for (int x = 0; x < size; ++x) {
            const double dx = x + 0.5 - radius;
            const double t = std::sqrt(dx * dx + dy * dy) / radius;
            double a;
            if (t <= h)
                a = 1;
            else if (t <= 1)
                a = (1 - t) / (1 - h);
            else
                a = 0;
            row[x] = std::uint8_t(std::lround(std::clamp(a, 0.0, 1.0) * 255));
        }
    }
    stamp->spanBegin.assign(size, 0);
    stamp->spanEnd.assign(size, 0);
    stamp->coreBegin.assign(size, 0);
    stamp->coreEnd.assign(size, 0);
    for (int y = 0; y < size; ++y) {
        const std::uint8_t* row = stamp->row(y);
        int first = 0, last = size;
        while (first < size && row[first] == 0)
            ++first;
        while (last > first && row[last - 1] == 0)
            --last;
        stamp->spanBegin[y] = first;
        stamp->spanEnd[y] = last;
        // The disc is convex, so the full-alpha pixels of a row are contiguous.
        int coreFirst = first, coreLast = last;
        while (coreFirst < coreLast && row[coreFirst] != 255)
            ++coreFirst;
        while (coreLast > coreFirst && row[coreLast - 1] != 255)
            --coreLast;
        stamp->coreBegin[y] = coreFirst;
        stamp->coreEnd[y] = coreLast;
    }
    return stamp;
}
