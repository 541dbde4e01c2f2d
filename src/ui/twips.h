#pragma once

#include <QRect>

// Window layouts are drawn in twips; a pixel is 15 of them.
namespace twips {
inline constexpr int kPerPixel = 15;
constexpr int toPixels(int value) { return value / kPerPixel; }
inline QRect rect(int left, int top, int width, int height)
{
    return {toPixels(left), toPixels(top), toPixels(width), toPixels(height)};
}
} // namespace twips
