#include "plot/plot_axes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "params/number_format.h"

namespace ephys {

namespace {

// Upper bounds on the tick loops: a wild range or a tick count read from a label must never make
// an axis draw for ever.
constexpr int kMaxTicks = 1000;
constexpr int kMaxWanted = 100;
// The narrowest linear range an axis spreads over its frame: narrower ones (denormal numbers)
// would make the float transform overflow.
constexpr double kMinRange = 1e-30;

// A world value as the float the transform takes, kept inside the float range.
float toFloat(double v) {
    constexpr double kLimit = 3.0e38;
    return static_cast<float>(std::isnan(v) ? 0.0 : std::clamp(v, -kLimit, kLimit));
}

// x rounded to one significant digit; the digit (1..9) is returned through `digit`.
double roundToOneDigit(double x, int& digit) {
    digit = 0;
    if (!(x > 0.0) || !std::isfinite(x)) return x;
    double decade = std::pow(10.0, std::floor(std::log10(x)));
    int first = static_cast<int>(x / decade + 0.5);
    if (first >= 10) {
        first = 1;
        decade *= 10.0;
    }
    if (first < 1) first = 1;
    digit = first;
    return first * decade;
}

// The tick step of a linear axis with automatic ticks: the largest count, at most the wanted one,
// whose step rounds to 1, 2 or 5 in its first digit. Too few ticks for a long axis means the range
// is widened by a tenth and the search runs again.
double automaticStep(double range, int wanted) {
    double searched = range;
    int winner = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        winner = 0;
        for (int c = wanted; c >= 1; --c) {
            int digit = 0;
            roundToOneDigit(searched / c, digit);
            if (digit == 1 || digit == 2 || digit == 5) {
                winner = c;
                break;
            }
        }
        if (winner != 0 && !(winner < 4 && wanted > 3)) break;
        searched *= 1.1;
    }
    if (winner == 0) winner = wanted;
    int digit = 0;
    return roundToOneDigit(searched / winner, digit);
}

std::string trimmed(const char* text) {
    std::string s(text);
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const std::size_t last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

// The axis title with the unit factor applied: a unit in parentheses (or a two-letter label that
// is all unit) gets the engineering prefix; otherwise the power of ten is appended.
std::string scaledTitle(std::string_view label, double factor, int exponent) {
    std::string title(label);
    if (factor > 0.9 && factor < 1.1) return title;
    const std::size_t open = title.find('(');
    if (open != std::string::npos || title.size() == 2) {
        std::size_t unitStart = 0;
        std::size_t unitEnd = title.size();
        if (open != std::string::npos) {
            unitStart = open + 1;
            const std::size_t close = title.find(')', unitStart);
            if (close != std::string::npos) unitEnd = close;
        }
        const std::string unit = title.substr(unitStart, unitEnd - unitStart);
        const std::string prefixed = engineeringUnit(unit, 1.0 / factor);
        if (!prefixed.empty()) return title.substr(0, unitStart) + prefixed + title.substr(unitEnd);
    }
    return title + " / 10^" + std::to_string(exponent);
}

// The first significant digit of a tick label ('0' when it has none).
char firstSignificantDigit(const std::string& text) {
    for (char c : text) {
        if (c >= '1' && c <= '9') return c;
        if (c == 'e' || c == 'E') break;
    }
    return '0';
}

struct Tick {
    double world;
    std::string label;  // empty: a tick without a number
};

// Keeps the caller's alignment and text direction across a call that writes labels.
struct TextStateGuard {
    PlotDevice& d;
    int h, v, vertical;
    explicit TextStateGuard(PlotDevice& device)
        : d(device), h(device.alignHorizontal), v(device.alignVertical), vertical(device.textVertical) {}
    ~TextStateGuard() {
        plotSetTextAlign(d, h, v);
        if (d.textVertical != vertical) d.fontDirty = true;
        d.textVertical = vertical;
    }
    TextStateGuard(const TextStateGuard&) = delete;
    TextStateGuard& operator=(const TextStateGuard&) = delete;
};

void setTextColorIndex(PlotDevice& d, int index) {
    if (d.textRGB != index) d.fontDirty = true;
    d.textRGB = index;
}

void setVerticalText(PlotDevice& d, int vertical) {
    if (d.textVertical != vertical) d.fontDirty = true;
    d.textVertical = vertical;
}

void drawAxis(PlotDevice& d, bool horizontal, double min, double max, const std::vector<Tick>& ticks,
              const std::string& title, int tickGap) {
    const float width = d.widthF;
    const float height = d.heightF;
    TextStateGuard guard(d);
    plotSetColor(d, d.axisColor);
    setTextColorIndex(d, d.textColor);
    setVerticalText(d, 0);
    const PlotTextSize a = plotTextExtent(d, "A");

    if (horizontal) {
        const bool below = d.xAxisSide == 'B';
        const int y = below ? plotRound((1.0f - d.frameBottom) * height + static_cast<float>(tickGap))
                            : plotRound((1.0f - d.frameTop) * height - static_cast<float>(tickGap));
        plotSegmentDevice(d, plotRound(d.frameLeft * width), y, plotRound(d.frameRight * width), y);
        const float tickLength = 0.012f * height;
        const int tickEnd = plotRound(static_cast<float>(y) + (below ? tickLength : -tickLength));
        const float labelGap = tickLength + 0.2f * static_cast<float>(a.height);
        const int labelY = plotRound(static_cast<float>(y) + (below ? labelGap : -labelGap));
        plotSetTextAlign(d, 1, below ? 2 : 0);
        bool labelled = false;
        for (const Tick& t : ticks) {
            const int x = plotDeviceX(d, toFloat(t.world));
            plotSegmentDevice(d, x, y, x, tickEnd);
            if (t.label.empty()) continue;
            plotTextDevice(d, x, labelY, t.label);
            labelled = true;
        }
        // Texts below the frame hang down from their reference line.
        if (below && labelled) d.xAxisTextBottom = static_cast<float>(labelY + a.height);
        if (!title.empty()) {
            const float titleGap = labelGap + 1.25f * static_cast<float>(a.height);
            const int titleY = plotRound(static_cast<float>(y) + (below ? titleGap : -titleGap));
            plotTextDevice(d, plotDeviceX(d, toFloat((min + max) / 2.0)), titleY, title);
            if (below) d.xAxisTextBottom = static_cast<float>(titleY + plotTextHeight(d, title));
        }
        return;
    }

    const bool left = d.yAxisSide == 'L';
    const int x = left ? plotRound(d.frameLeft * width - static_cast<float>(tickGap))
                       : plotRound(d.frameRight * width + static_cast<float>(tickGap));
    plotSegmentDevice(d, x, plotRound((1.0f - d.frameTop) * height), x,
                      plotRound((1.0f - d.frameBottom) * height));
    const float tickLength = 0.008f * width;
    const int tickEnd = plotRound(static_cast<float>(x) + (left ? -tickLength : tickLength));
    const float labelGap = tickLength + 0.4f * static_cast<float>(a.width);
    const int labelX = plotRound(static_cast<float>(x) + (left ? -labelGap : labelGap));
    plotSetTextAlign(d, left ? 2 : 0, 1);
    int widest = 0;
    for (const Tick& t : ticks) {
        const int y = plotDeviceY(d, toFloat(t.world));
        plotSegmentDevice(d, x, y, tickEnd, y);
        if (t.label.empty()) continue;
        plotTextDevice(d, labelX, y, t.label);
        widest = std::max(widest, plotTextWidth(d, t.label));
    }
    if (!title.empty()) {
        // Written upwards, beyond the widest tick label and one letter more.
        const float titleGap = labelGap + static_cast<float>(widest + a.width);
        const int titleX = plotRound(static_cast<float>(x) + (left ? -titleGap : titleGap));
        setVerticalText(d, 1);
        plotSetTextAlign(d, 1, left ? 0 : 2);
        plotTextDevice(d, titleX, plotDeviceY(d, toFloat((min + max) / 2.0)), title);
    }
}

// Symbol outline at a device point; kinds as in the series style (mod 10).
void drawSymbol(PlotDevice& d, int kind, float x, float y, float r) {
    kind %= 10;
    const float half = std::sqrt(std::numbers::pi_v<float>) * r / 2.0f;  // half side of the square
    auto point = [](float px, float py) { return PlotIntPoint{plotRound(px), plotRound(py)}; };
    switch (kind / 2) {
        case 0:
            plotCircleDevice(d, plotRound(x), plotRound(y), r);
            return;
        case 1: {
            const std::array<PlotIntPoint, 5> p{point(x - half, y - half), point(x + half, y - half),
                                                point(x + half, y + half), point(x - half, y + half),
                                                point(x - half, y - half)};
            plotPolygonDevice(d, p);
            return;
        }
        case 2:
        case 3: {
            // Equilateral triangle of the circle's area, centred on its centroid.
            const float side = r * std::sqrt(4.0f * std::numbers::pi_v<float> / std::sqrt(3.0f));
            const float h = side * std::sqrt(3.0f) / 2.0f;
            const float dir = kind / 2 == 2 ? 1.0f : -1.0f;  // +1: apex up (device y grows down)
            const std::array<PlotIntPoint, 4> p{
                point(x, y - dir * 2.0f * h / 3.0f), point(x + side / 2.0f, y + dir * h / 3.0f),
                point(x - side / 2.0f, y + dir * h / 3.0f), point(x, y - dir * 2.0f * h / 3.0f)};
            plotPolygonDevice(d, p);
            return;
        }
        default: {
            const float across = 1.1785f * half;
            const float up = 1.6971f * half;
            const std::array<PlotIntPoint, 5> p{point(x, y - up), point(x + across, y), point(x, y + up),
                                                point(x - across, y), point(x, y - up)};
            plotPolygonDevice(d, p);
            return;
        }
    }
}

// Half the height of a symbol in pixels, for the error-bar rule.
float symbolHalfHeight(int kind, float r) {
    const float half = std::sqrt(std::numbers::pi_v<float>) * r / 2.0f;
    switch ((kind % 10) / 2) {
        case 0:
            return r;
        case 1:
            return half;
        case 2:
        case 3: {
            const float side = r * std::sqrt(4.0f * std::numbers::pi_v<float> / std::sqrt(3.0f));
            return side * std::sqrt(3.0f) / 4.0f;
        }
        default:
            return 1.6971f * half;
    }
}

struct SeriesStyle {
    bool lines = false, markers = false, shortLines = false, exclusiveOr = false;
    bool errors = false, whiskers = false, noLower = false, noUpper = false, histogram = false;
};

SeriesStyle readStyle(std::string_view style) {
    SeriesStyle s;
    for (char c : style) {
        switch (std::toupper(static_cast<unsigned char>(c))) {
            case 'L':
                s.lines = true;
                break;
            case 'M':
                s.markers = true;
                break;
            case 'S':
                s.shortLines = true;
                break;
            case 'X':
                s.exclusiveOr = true;
                break;
            case 'E':
                s.errors = true;
                break;
            case 'W':
                s.whiskers = true;
                break;
            case 'U':
                s.noLower = true;
                break;
            case 'D':
                s.noUpper = true;
                break;
            case 'H':
                s.histogram = true;
                break;
            default:
                break;
        }
    }
    return s;
}

// A joining line between two device points; with shortened lines it stops short of both symbols.
void drawJoin(PlotDevice& d, float x0, float y0, float x1, float y1, bool shorten, float r) {
    if (!shorten) {
        plotSegmentDevice(d, plotRound(x0), plotRound(y0), plotRound(x1), plotRound(y1));
        return;
    }
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    if (plotRound(x0) == plotRound(x1)) {
        const float s = 1.1f / std::sqrt(2.0f) * r;
        if (!(std::fabs(dy) > 2.0f * s)) return;
        const float dir = dy > 0 ? 1.0f : -1.0f;
        plotSegmentDevice(d, plotRound(x0), plotRound(y0 + dir * s), plotRound(x1), plotRound(y1 - dir * s));
        return;
    }
    const float length = std::hypot(dx, dy);
    if (!(length > 0.0f)) return;
    const float sx = 1.8f * r * dx / length;
    const float sy = 1.8f * r * dy / length;
    if (!(dx > 2.0f * std::fabs(sx))) return;
    plotSegmentDevice(d, plotRound(x0 + sx), plotRound(y0 + sy), plotRound(x1 - sx), plotRound(y1 - sy));
}

}  // namespace

float plotSymbolSize(const PlotDevice& d) {
    float size = ((d.frameRight - d.frameLeft) + (d.frameTop - d.frameBottom)) / 2.0f;
    if (size > 0.5f) {
        size *= 0.9f;
    } else if (size < 0.3f) {
        size *= 1.2f;
    }
    size *= static_cast<float>(d.deviceHeight) / 60.0f;
    return std::isfinite(size) ? std::max(size, 2.0f) : 2.0f;
}

void plotAxis(PlotDevice& d, float minIn, float maxIn, char axisLetter, char scaleLetter,
              std::string_view label) {
    d.widthF = static_cast<float>(d.deviceWidth);
    d.heightF = static_cast<float>(d.deviceHeight);
    const int tickGap = plotRound(0.02f * d.heightF);
    const bool horizontal = axisLetter == 'X' || axisLetter == 'x';
    const char scale = static_cast<char>(std::toupper(static_cast<unsigned char>(scaleLetter)));

    double min = minIn;
    double max = maxIn;
    // A limit that is not a number is treated like a degenerate range around the other one.
    if (!std::isfinite(min)) min = std::isfinite(max) ? max : 0.0;
    if (!std::isfinite(max)) max = min;
    if (min == max) {
        if (min == 0.0) {
            min = -1.0;
            max = 1.0;
        } else {
            const double m = min;
            min = 0.9 * m;
            max = 1.1 * m;
        }
    }
    if (max < min) std::swap(min, max);

    const float frameSpan = horizontal ? d.frameRight - d.frameLeft : d.frameTop - d.frameBottom;
    int wanted =
        static_cast<int>(std::lround(std::clamp(frameSpan * (horizontal ? 16.0f : 12.0f), -1.0f, 1.0e6f)));
    wanted = std::clamp(wanted, 1, kMaxWanted);
    if (min < 0.0 && max > 0.0) wanted = std::max(wanted, 2);

    std::string title(label);
    std::vector<Tick> ticks;
    double step = 1.0;
    double factor = 1.0;
    int exponent = 0;

    if (scale == 'L') {
        if (!(max > 0.0)) max = 1.0;
        const double top = std::pow(10.0, std::floor(std::log10(max)));
        max = std::ceil(max / top - 1e-5) * top;
        if (min <= 0.0) min = max / 1000.0;
        double bottom = std::pow(10.0, std::trunc(std::log10(min)));
        if (min < 1.0) bottom /= 10.0;
        min = std::floor(min / bottom + 1e-5) * bottom;
        if (!(min > 0.0)) min = bottom;
        // Limits that round to the same value still get one decade.
        if (!(std::log10(max) - std::log10(min) > 1e-6)) max = min * 10.0;
        step = bottom;
        const double logMin = std::log10(min);
        const double logMax = std::log10(max);
        const bool shortAxis = logMax - logMin < 1.5;
        double value = min;
        double decadeStep = step;
        for (int i = 0; i < kMaxTicks && std::log10(value) <= logMax + 0.0001; ++i) {
            double next = value + decadeStep;
            double nextStep = decadeStep;
            if (next >= 9.99 * nextStep) nextStep *= 10.0;
            const bool last = !(std::log10(next) <= logMax + 0.0001);
            std::string text = formatNumber(value, 4);
            if (!(shortAxis || firstSignificantDigit(text) == '1' || last)) text.clear();
            ticks.push_back({std::log10(value), text});
            value = next;
            decadeStep = nextStep;
        }
        min = logMin;
        max = logMax;
    } else {
        if (max - min < kMinRange) {
            const double centre = min / 2.0 + max / 2.0;
            min = centre - kMinRange / 2.0;
            max = centre + kMinRange / 2.0;
        }
        double range = max - min;
        int count = wanted;
        if (scale == 'M' && !title.empty()) {
            count = std::max(1, static_cast<int>(static_cast<unsigned char>(title[0])));
            title.erase(0, 1);
            step = range / count;
        } else {
            step = automaticStep(range, wanted);
            if (d.exactLimits == 0) {
                min = std::floor(min / step + 0.04) * step;
                max = std::ceil(max / step - 0.04) * step;
                if (!(max > min)) max = min + step;
            }
        }
        range = max - min;
        if (!(step > 0.0) || !std::isfinite(step)) step = range;

        for (int i = 0; i < 40 && range * factor > 1000.0; ++i) {
            factor /= 1000.0;
            exponent += 3;
        }
        for (int i = 0; i < 40 && range * factor < 0.001; ++i) {
            factor *= 1000.0;
            exponent -= 3;
        }
        title = scaledTitle(title, factor, exponent);

        int decimals = 0;
        int width = 4;
        if (step * factor < 1.0) {
            decimals = std::min(30, static_cast<int>(-std::floor(std::log10(step * factor))));
            width = decimals + 2;
        }
        double start = min;
        if (d.exactLimits != 0) start = std::ceil(min / step - 1e-6) * step;
        for (int i = 0; i < kMaxTicks; ++i) {
            double value = start + i * step;
            if (!(value <= max + 0.1 * step)) break;
            if (std::fabs(value) < step * 1e-6) value = 0.0;
            char text[64];
            std::snprintf(text, sizeof text, "%*.*f", width, decimals, value * factor);
            ticks.push_back({value, trimmed(text)});
        }
    }

    const double range = max - min;
    if (horizontal) {
        d.scaleX = toFloat((d.frameRight - d.frameLeft) * d.widthF / range);
        d.offsetX = toFloat(d.widthF * d.frameLeft - min * d.scaleX);
        d.xScaleKind = scale;
    } else {
        const double k = (d.frameTop - d.frameBottom) * d.heightF / range;
        d.scaleY = toFloat(-k);
        d.offsetY = toFloat(d.heightF - (d.heightF * d.frameBottom - min * k));
        d.yScaleKind = scale;
    }

    if (horizontal) d.xAxisTextBottom = 0.0f;
    if (d.showAxes != 0 && d.canvas != nullptr) drawAxis(d, horizontal, min, max, ticks, title, tickGap);
}

void plotSeries(PlotDevice& d, std::span<const float> xs, std::span<const float> ys, int n,
                std::string_view style, std::string_view legend, int seriesCount, int seriesIndex) {
    const SeriesStyle s = readStyle(style);
    plotSetMix(d, s.exclusiveOr ? PlotMix::Xor : PlotMix::Copy);
    const float r = plotSymbolSize(d);
    const int lineColor = d.currentColor;
    const int kind = d.markerKind % 10;
    const std::uint8_t savedErase = d.fillErase, savedShade = d.fillShade,
                       savedTransparent = d.fillTransparent;
    const std::size_t count = std::min({static_cast<std::size_t>(std::max(n, 0)), xs.size(), ys.size()});
    const bool logX = d.xScaleKind == 'L';
    const bool logY = d.yScaleKind == 'L';
    const std::size_t errorsAt = static_cast<std::size_t>(std::max(n, 0));

    auto deviceX = [&](double x) { return toFloat(x) * d.scaleX + d.offsetX; };
    auto deviceY = [&](double y) { return toFloat(y) * d.scaleY + d.offsetY; };
    // World value on an axis; false when the value cannot be shown (not positive on a log axis).
    auto world = [](double v, bool log, double& out) {
        if (!std::isfinite(v)) return false;
        if (log) {
            if (v <= 0.0) return false;
            out = std::log10(v);
        } else {
            out = v;
        }
        return true;
    };

    bool havePrevious = false;
    float previousX = 0.0f, previousY = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        double wx = 0.0, wy = 0.0;
        if (!world(xs[i], logX, wx) || !world(ys[i], logY, wy)) {
            havePrevious = false;  // the line is broken at a point that cannot be shown
            continue;
        }
        const float px = deviceX(wx);
        const float py = deviceY(wy);
        if (s.lines && havePrevious) {
            plotSetColor(d, lineColor);
            drawJoin(d, previousX, previousY, px, py, s.shortLines && s.markers, r);
        }
        if (s.errors && errorsAt + i < ys.size() && !(s.noLower && s.noUpper)) {
            const double error = ys[errorsAt + i];
            double upper = 0.0, lower = 0.0;
            const bool upperShown = world(ys[i] + error, logY, upper);
            const bool lowerShown = world(ys[i] - error, logY, lower);
            const float length = upperShown ? std::fabs(deviceY(upper) - py) : 0.0f;
            const bool drawn = s.markers ? length > symbolHalfHeight(kind, r) : error > 0.0;
            if (drawn) {
                plotSetColor(d, lineColor);
                const int x = plotRound(px);
                const int w = plotRound(0.8f * r);
                auto bar = [&](double end) {
                    const int y = plotRound(deviceY(end));
                    plotSegmentDevice(d, x, plotRound(py), x, y);
                    if (s.whiskers) plotSegmentDevice(d, x - w, y, x + w, y);
                };
                if (!s.noUpper && upperShown) bar(upper);
                if (!s.noLower && lowerShown) bar(lower);
            }
        }
        if (s.markers) {
            plotSetColor(d, d.seriesColor);
            plotSetFill(d, kind % 2, d.seriesColor, d.markerTransparent);
            drawSymbol(d, kind, px, py, r);
        }
        havePrevious = true;
        previousX = px;
        previousY = py;
    }

    if (s.histogram && count > 0) {
        const float delta = xs.size() >= 2 ? xs[1] - xs[0] : 1.0f;
        std::vector<float> hx, hy;
        hx.reserve(2 * count);
        hy.reserve(2 * count);
        for (std::size_t i = 0; i < count; ++i) {
            hx.push_back(static_cast<float>(i) * delta);
            hy.push_back(ys[i]);
            hx.push_back(static_cast<float>(i + 1) * delta);
            hy.push_back(ys[i]);
        }
        plotSetColor(d, d.histogramColor);
        plotPolyline(d, hx, hy, static_cast<int>(hx.size()));
    }

    if (seriesCount > 0) {
        const int savedH = d.alignHorizontal, savedV = d.alignVertical;
        const float frameWidth = (d.frameRight - d.frameLeft) * d.widthF;
        const float columnWidth = frameWidth / 3.0f;
        const int column = ((seriesIndex % 3) + 3) % 3;
        const int row = std::max(seriesIndex, 0) / 3;
        float x = d.frameLeft * d.widthF + static_cast<float>(column) * columnWidth;
        // Columns are a third of the frame wide; in a narrow sub-plot a long legend text would run
        // into the next entry, which then starts after it instead (its line sample reaches 2
        // symbol sizes to the left of the entry's start).
        if (column == 0) d.legendEndX = 0.0f;
        if (column > 0 && d.legendEndX + 3.0f * r > x) x = d.legendEndX + 3.0f * r;
        plotSetTextSize(d, std::min(2.7f * r, 12.0f));
        plotSetTextStyle(d, 0, 0.0f);
        const std::string_view text = legend.substr(0, std::min(legend.find_first_of("\r\n"), legend.size()));
        // The rows lie a fixed share of the height below the frame, while the axis texts above
        // them keep their size: on a low target the first row moves down until it clears them,
        // as far as the target reaches.
        float top = (1.0f - d.frameBottom) * d.heightF + 0.11f * d.heightF;
        if (d.xAxisTextBottom > 0.0f) {
            const auto textHeight = static_cast<float>(plotTextHeight(d, text.empty() ? "A" : text));
            const float half = std::max(textHeight / 2.0f, r);
            const float clear = d.xAxisTextBottom + 0.2f * textHeight + half;
            if (clear > top) top = std::max(top, std::min(clear, d.heightF - half));
        }
        const float y = top + static_cast<float>(row) * 0.04f * d.heightF;
        if (s.lines) {
            plotSetColor(d, lineColor);
            plotSegmentDevice(d, plotRound(x - 2.0f * r), plotRound(y), plotRound(x + 2.0f * r),
                              plotRound(y));
        }
        if (s.markers) {
            plotSetColor(d, d.seriesColor);
            plotSetFill(d, kind % 2, d.seriesColor, d.markerTransparent);
            drawSymbol(d, kind, x, y, r);
        }
        setTextColorIndex(d, d.textColor);
        plotSetTextAlign(d, 0, 1);
        const float textX = x + columnWidth / 10.0f;
        if (!text.empty()) plotTextDevice(d, plotRound(textX), plotRound(y), text);
        d.legendEndX = text.empty() ? x + 2.0f * r : textX + static_cast<float>(plotTextWidth(d, text));
        plotSetTextAlign(d, savedH, savedV);
    }

    plotSetFill(d, savedErase, savedShade, savedTransparent);
    plotSetColor(d, lineColor);
    plotSetMix(d, PlotMix::Copy);
    d.legendDone = 1;
}

void plotXY(PlotDevice& d, int cell, int count, int n, std::span<const float> xs, std::string_view xLabel,
            std::span<const float> ys, std::string_view yLabel, std::string_view style) {
    plotGridCell(d, cell, count, 0);
    const SeriesStyle s = readStyle(style);
    const std::size_t points = std::min({static_cast<std::size_t>(std::max(n, 0)), xs.size(), ys.size()});
    float xMin = 1e37f, xMax = -1e37f, yMin = 1e37f, yMax = -1e37f;
    for (std::size_t i = 0; i < points; ++i) {
        xMin = std::min(xMin, xs[i]);
        xMax = std::max(xMax, xs[i]);
        float low = ys[i], high = ys[i];
        const std::size_t e = static_cast<std::size_t>(n) + i;
        if (s.errors && e < ys.size()) {
            low = ys[i] - ys[e];
            high = ys[i] + ys[e];
        }
        yMin = std::min({yMin, low, high});
        yMax = std::max({yMax, low, high});
    }
    if (d.printing != 0) {
        if (d.repaintWindow) d.repaintWindow();
    } else if (d.canvas != nullptr) {
        d.canvas->fillRect(0, 0, d.deviceWidth, d.deviceHeight, plotPalette(d.backgroundColor));
    }
    plotAxis(d, xMin, xMax, 'X', 'N', xLabel);
    plotAxis(d, yMin, yMax, 'Y', 'N', yLabel);
    plotSeries(d, xs, ys, n, style, "", 0, 0);
}

}  // namespace ephys
