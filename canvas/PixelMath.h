#pragma once

#include <algorithm>
#include <cstdint>

// 8-bit pixel arithmetic on 0xAARRGGBB words, shared by the compositor and
// the edge refinement so that both give the same bytes.
namespace PixelMath {

// x * a / 255 per 8-bit channel, two channels at a time.
inline std::uint32_t byteMul(std::uint32_t x, std::uint32_t a)
{
    std::uint32_t t = (x & 0xff00ff) * a;
    t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
    t &= 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = (x + ((x >> 8) & 0xff00ff) + 0x800080);
    x &= 0xff00ff00;
    return x | t;
}

// Source over destination, premultiplied.
inline std::uint32_t over(std::uint32_t src, std::uint32_t dst)
{
    const std::uint32_t alpha = src >> 24;
    if (alpha == 255)
        return src;
    if (alpha == 0)
        return src + dst; // src may still carry light (additive pixels); usually 0
    return src + byteMul(dst, 255 - alpha);
}

// x / 255, rounded to nearest, for x up to 255 * 255.
inline std::uint32_t div255(std::uint32_t x)
{
    x += 128;
    return (x + (x >> 8)) >> 8;
}

// Straight 0xAARRGGBB to premultiplied, and back.
inline std::uint32_t premultiply(std::uint32_t p)
{
    const std::uint32_t a = p >> 24;
    return a == 255 ? p : (byteMul(p | 0xff000000u, a) & 0x00ffffffu) | (a << 24);
}

inline std::uint32_t unpremultiply(std::uint32_t p)
{
    const std::uint32_t a = p >> 24;
    if (a == 255 || a == 0)
        return a ? p : 0;
    auto channel = [a](std::uint32_t c) { return std::min<std::uint32_t>(255, (c * 255 + a / 2) / a); };
    return (a << 24) | (channel((p >> 16) & 0xff) << 16) | (channel((p >> 8) & 0xff) << 8) |
           channel(p & 0xff);
}

} // namespace PixelMath
