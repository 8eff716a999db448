#include "plot/plot_device.h"

namespace ephys {

namespace {

constexpr std::array<PlotColor, 16> kPalette{{
    {0, 0, 0},
    {0, 0, 255},
    {255, 0, 0},
    {255, 0, 255},
    {0, 255, 0},
    {0, 255, 255},
    {102, 153, 41},
    {204, 204, 204},
    {128, 128, 128},
    {204, 204, 255},
    {255, 204, 204},
    {255, 204, 255},
    {204, 255, 204},
    {204, 255, 255},
    {255, 255, 0},
    {255, 255, 255},
}};

}  // namespace

PlotColor plotPalette(int index) {
    // Colour indices are never negative; the modulo keeps a stray one inside the table.
    return kPalette[static_cast<std::size_t>(((index % 16) + 16) % 16)];
}

}  // namespace ephys
