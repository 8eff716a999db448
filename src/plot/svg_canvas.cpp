#include "plot/svg_canvas.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <locale>

namespace ephys {

namespace {

// Arial's ascent and descent as fractions of the font height: the text is placed by its
// baseline in SVG, by the top or bottom of its cell in the plotting library.
constexpr double kAscent = 0.905;
constexpr double kDescent = 0.212;
// Average advance of Arial's digits and lower-case letters, as a fraction of the font height.
constexpr double kAverageAdvance = 0.56;

// A number in the C locale: at most two decimals, trailing zeros removed.
std::string number(double v) {
    if (!std::isfinite(v)) return "0";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 2);
    if (ec != std::errc{}) return "0";
    std::string s(buffer, end);
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
    return s;
}

std::string color(PlotColor c) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s = "#";
    for (std::uint8_t v : {c.r, c.g, c.b}) {
        s.push_back(kHex[v >> 4]);
        s.push_back(kHex[v & 15]);
    }
    return s;
}

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t utf8Sequence(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

bool validUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Sequence(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// Text for an XML element: markup characters escaped. A text that is not valid UTF-8 is taken as
// Latin-1, as the programs' 8-bit texts are (the micro sign of a unit); control characters, and
// Latin-1 bytes that stand for no printable character, become U+FFFD.
std::string escaped(std::string_view text) {
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    const bool utf8 = validUtf8(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8 ? utf8Sequence(text, i) : 1;
        if (c >= 0x80 && utf8) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        ++i;
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if ((c >= 0x20 && c < 0x80) || c == '\t') {
                    out.push_back(static_cast<char>(c));
                } else if (c >= 0xA0) {
                    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
                    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
                } else {
                    out += kReplacement;
                }
        }
    }
    return out;
}

int codePoints(std::string_view text) {
    int count = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Sequence(text, i);
        i += length == 0 ? 1 : length;
        ++count;
    }
    return count;
}

std::string pointList(std::span<const PlotIntPoint> points) {
    std::string s;
    for (const PlotIntPoint& p : points) {
        if (!s.empty()) s.push_back(' ');
        s += std::to_string(p.x) + "," + std::to_string(p.y);
    }
    return s;
}

}  // namespace

SvgCanvas::SvgCanvas(int width, int height) : width_(std::max(width, 0)), height_(std::max(height, 0)) {
    // Numbers in the document never follow the user's locale.
    body_.imbue(std::locale::classic());
}

void SvgCanvas::setPen(PlotColor color, int width, int style) {
    pen_ = color;
    penWidth_ = width;
    penStyle_ = style;
}

void SvgCanvas::setBrush(PlotColor color, bool hollow) {
    brush_ = color;
    hollow_ = hollow;
}

void SvgCanvas::setFont(std::string_view family, double pixelHeight, int angleTenths) {
    family_ = std::string(family);
    fontHeight_ = pixelHeight;
    angle_ = angleTenths;
}

void SvgCanvas::setTextColor(PlotColor color) {
    text_ = color;
}

// Exclusive-or has no meaning in a document: everything is drawn in copy mode.
void SvgCanvas::setMix(PlotMix /*mix*/) {}

std::string SvgCanvas::strokeAttributes() const {
    if (penStyle_ == kPenNull) return " stroke=\"none\"";
    const int w = std::max(penWidth_, 1);
    std::string s = " stroke=\"" + color(pen_) + "\" stroke-width=\"" + std::to_string(w) + "\"";
    // Dash patterns in multiples of the pen width, as the cosmetic pens draw them.
    std::string dashes;
    switch (penStyle_) {
        case kPenDash:
            dashes = number(6.0 * w) + "," + number(3.0 * w);
            break;
        case kPenDot:
            dashes = number(1.0 * w) + "," + number(2.0 * w);
            break;
        case kPenDashDot:
            dashes = number(6.0 * w) + "," + number(2.0 * w) + "," + number(1.0 * w) + "," + number(2.0 * w);
            break;
        case kPenDashDotDot:
            dashes = number(6.0 * w) + "," + number(2.0 * w) + "," + number(1.0 * w) + "," + number(2.0 * w) +
                     "," + number(1.0 * w) + "," + number(2.0 * w);
            break;
        default:
            break;
    }
    if (!dashes.empty()) s += " stroke-dasharray=\"" + dashes + "\"";
    return s;
}

std::string SvgCanvas::fillAttribute() const {
    return hollow_ ? std::string(" fill=\"none\"") : " fill=\"" + color(brush_) + "\"";
}

void SvgCanvas::fillRect(int left, int top, int right, int bottom, PlotColor c) {
    if (right < left) std::swap(left, right);
    if (bottom < top) std::swap(top, bottom);
    body_ << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << right - left << "\" height=\""
          << bottom - top << "\" fill=\"" << color(c) << "\" stroke=\"none\"/>\n";
}

void SvgCanvas::line(int x1, int y1, int x2, int y2) {
    body_ << "<line x1=\"" << x1 << "\" y1=\"" << y1 << "\" x2=\"" << x2 << "\" y2=\"" << y2 << "\""
          << strokeAttributes() << "/>\n";
}

void SvgCanvas::polyline(std::span<const PlotIntPoint> points) {
    if (points.empty()) return;
    body_ << "<polyline points=\"" << pointList(points) << "\" fill=\"none\"" << strokeAttributes() << "/>\n";
}

void SvgCanvas::ellipse(int left, int top, int right, int bottom) {
    body_ << "<ellipse cx=\"" << number((left + right) / 2.0) << "\" cy=\"" << number((top + bottom) / 2.0)
          << "\" rx=\"" << number(std::abs(right - left) / 2.0) << "\" ry=\""
          << number(std::abs(bottom - top) / 2.0) << "\"" << fillAttribute() << strokeAttributes() << "/>\n";
}

void SvgCanvas::polygon(std::span<const PlotIntPoint> points) {
    if (points.empty()) return;
    body_ << "<polygon points=\"" << pointList(points) << "\"" << fillAttribute() << strokeAttributes()
          << "/>\n";
}

void SvgCanvas::text(int x, int y, std::string_view text, PlotHAlign h, PlotVAlign v) {
    const char* anchor = h == PlotHAlign::Left ? "start" : h == PlotHAlign::Center ? "middle" : "end";
    // The baseline lies below the top of the cell by the ascent and above its bottom by the
    // descent, measured along the text's own upward direction.
    const double shift = v == PlotVAlign::Top ? kAscent * fontHeight_ : -kDescent * fontHeight_;
    body_ << "<text x=\"" << x << "\" y=\"" << number(y + shift)
          << "\" font-family=\"Arial, Helvetica, sans-serif\" font-size=\"" << number(fontHeight_)
          << "\" fill=\"" << color(text_) << "\" text-anchor=\"" << anchor << "\"";
    if (angle_ != 0)
        body_ << " transform=\"rotate(" << number(-angle_ / 10.0) << " " << x << " " << y << ")\"";
    body_ << ">" << escaped(text) << "</text>\n";
}

PlotTextSize SvgCanvas::textExtent(std::string_view text) {
    return {static_cast<int>(std::lround(kAverageAdvance * fontHeight_ * codePoints(text))),
            static_cast<int>(std::lround(fontHeight_))};
}

std::string SvgCanvas::document() const {
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n";
    doc += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + std::to_string(width_) +
           "\" height=\"" + std::to_string(height_) + "\" viewBox=\"0 0 " + std::to_string(width_) + " " +
           std::to_string(height_) + "\">\n";
    doc += body_.str();
    doc += "</svg>\n";
    return doc;
}

}  // namespace ephys
