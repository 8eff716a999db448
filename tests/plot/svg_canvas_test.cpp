#include "plot/svg_canvas.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <locale>
#include <string>
#include <vector>

#include "plot/plot_axes.h"

namespace ephys {
namespace {

// A small well-formedness check: one root, tags balanced and nested, attribute quotes paired,
// every '&' one of the five predefined entities. Empty when fine, otherwise what is wrong.
std::string xmlProblem(std::string doc) {
    if (doc.rfind("<?xml", 0) == 0) doc.erase(0, doc.find("?>") + 2);
    for (std::size_t amp = doc.find('&'); amp != std::string::npos; amp = doc.find('&', amp + 1)) {
        bool known = false;
        for (const char* e : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"})
            known = known || doc.compare(amp, std::strlen(e), e) == 0;
        if (!known) return "stray & at " + std::to_string(amp);
    }
    std::vector<std::string> open;
    int roots = 0;
    for (std::size_t lt = doc.find('<'); lt != std::string::npos; lt = doc.find('<', lt + 1)) {
        const std::size_t gt = doc.find('>', lt);
        if (gt == std::string::npos) return "unclosed tag";
        const std::string tag = doc.substr(lt + 1, gt - lt - 1);
        if (std::count(tag.begin(), tag.end(), '"') % 2 != 0) return "unpaired quote in <" + tag + ">";
        if (tag.empty() || tag.find('<') != std::string::npos) return "bad tag <" + tag + ">";
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) return "mismatched <" + tag + ">";
            open.pop_back();
            continue;
        }
        if (open.empty()) ++roots;
        if (tag.back() != '/') open.push_back(tag.substr(0, tag.find(' ')));
    }
    if (!open.empty()) return "unclosed <" + open.back() + ">";
    return roots == 1 ? "" : "not one root element";
}

int countOf(const std::string& doc, const std::string& what) {
    int n = 0;
    for (std::size_t p = doc.find(what); p != std::string::npos; p = doc.find(what, p + 1)) ++n;
    return n;
}

TEST(SvgCanvas, StandaloneDocumentWithEveryElement) {
    SvgCanvas svg(640, 480);
    svg.fillRect(0, 0, 640, 480, {255, 255, 255});
    svg.setPen({255, 0, 0}, 2, kPenSolid);
    svg.line(1, 2, 3, 4);
    svg.setMix(PlotMix::Xor);  // drawn as copy
    svg.setPen({0, 0, 0}, 0, kPenDash);
    svg.line(0, 0, 1, 1);
    svg.setPen({0, 0, 0}, 2, kPenDot);
    svg.line(0, 0, 1, 1);
    svg.setPen({0, 0, 0}, 1, kPenNull);
    svg.line(0, 0, 1, 1);
    svg.setPen({255, 0, 0}, 2, kPenSolid);
    const std::array<PlotIntPoint, 3> pts{{{10, 10}, {20, 30}, {40, 15}}};
    svg.polyline(pts);
    svg.setBrush({0, 0, 255}, false);
    svg.ellipse(90, 90, 110, 120);
    svg.polygon(pts);
    svg.setBrush({0, 0, 255}, true);
    svg.polygon(pts);
    svg.setFont("Arial", 14.0, 0);
    svg.setTextColor({0, 128, 0});
    svg.text(50, 60, "Time (ms)", PlotHAlign::Center, PlotVAlign::Top);

    const std::string doc = svg.document();
    EXPECT_EQ(xmlProblem(doc), "") << doc;
    EXPECT_EQ(doc.rfind("<?xml version=\"1.0\"", 0), 0u);
    EXPECT_NE(doc.find("xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(doc.find("width=\"640\" height=\"480\" viewBox=\"0 0 640 480\""), std::string::npos);
    EXPECT_NE(doc.find("<rect x=\"0\" y=\"0\" width=\"640\" height=\"480\" fill=\"#ffffff\""),
              std::string::npos);
    EXPECT_NE(doc.find("<line x1=\"1\" y1=\"2\" x2=\"3\" y2=\"4\" stroke=\"#ff0000\" stroke-width=\"2\""),
              std::string::npos);
    EXPECT_EQ(countOf(doc, "<line"), 4);
    EXPECT_NE(doc.find("stroke-width=\"1\" stroke-dasharray=\"6,3\""), std::string::npos)
        << "width 0 is 1 px";
    EXPECT_NE(doc.find("stroke-width=\"2\" stroke-dasharray=\"2,4\""), std::string::npos);
    EXPECT_NE(doc.find("stroke=\"none\""), std::string::npos);
    EXPECT_NE(doc.find("<polyline points=\"10,10 20,30 40,15\" fill=\"none\""), std::string::npos);
    EXPECT_NE(doc.find("<ellipse cx=\"100\" cy=\"105\" rx=\"10\" ry=\"15\" fill=\"#0000ff\""),
              std::string::npos);
    EXPECT_NE(doc.find("<polygon points=\"10,10 20,30 40,15\" fill=\"#0000ff\""), std::string::npos);
    EXPECT_NE(doc.find("<polygon points=\"10,10 20,30 40,15\" fill=\"none\""), std::string::npos);
    EXPECT_NE(doc.find("font-family=\"Arial, Helvetica, sans-serif\""), std::string::npos);
    EXPECT_NE(doc.find("text-anchor=\"middle\""), std::string::npos);
    EXPECT_NE(doc.find("fill=\"#008000\""), std::string::npos);
    EXPECT_NE(doc.find(">Time (ms)</text>"), std::string::npos);
    EXPECT_EQ(doc.substr(doc.size() - 7), "</svg>\n");
}

TEST(SvgCanvas, TextPlacementAnchorsAndRotation) {
    SvgCanvas svg(100, 100);
    svg.setFont("Arial", 20.0, 0);
    svg.text(10, 50, "top", PlotHAlign::Left, PlotVAlign::Top);
    svg.text(10, 50, "bottom", PlotHAlign::Right, PlotVAlign::Bottom);
    svg.setFont("Arial", 20.0, 900);
    svg.text(30, 40, "up", PlotHAlign::Center, PlotVAlign::Bottom);
    const std::string doc = svg.document();
    // Top alignment: the baseline one ascent below the point; bottom: one descent above it.
    EXPECT_NE(doc.find("<text x=\"10\" y=\"68.1\""), std::string::npos) << doc;
    EXPECT_NE(doc.find("text-anchor=\"start\">top<"), std::string::npos);
    EXPECT_NE(doc.find("<text x=\"10\" y=\"45.76\""), std::string::npos) << doc;
    EXPECT_NE(doc.find("text-anchor=\"end\">bottom<"), std::string::npos);
    EXPECT_NE(doc.find("transform=\"rotate(-90 30 40)\""), std::string::npos) << doc;
    EXPECT_EQ(countOf(doc, "rotate("), 1);
}

TEST(SvgCanvas, TextIsEscapedAndMadeValidUtf8) {
    SvgCanvas svg(100, 100);
    svg.text(0, 0, "a<b & \"c\" > 'd'", PlotHAlign::Left, PlotVAlign::Bottom);
    svg.text(0, 0, "\xC2\xB5V ok", PlotHAlign::Left, PlotVAlign::Bottom);         // UTF-8 micro sign kept
    svg.text(0, 0, "\xB5V latin", PlotHAlign::Left, PlotVAlign::Bottom);          // Latin-1 micro sign
    svg.text(0, 0, "x\x81y\x01z\xE2\x82", PlotHAlign::Left, PlotVAlign::Bottom);  // a cut sequence
    svg.text(0, 0, "\xED\xA0\x80s", PlotHAlign::Left, PlotVAlign::Bottom);        // an encoded surrogate
    svg.text(0, 0, "t\x02\xE2\x82\xAC", PlotHAlign::Left, PlotVAlign::Bottom);    // valid, one control
    const std::string doc = svg.document();
    EXPECT_EQ(xmlProblem(doc), "") << doc;
    EXPECT_NE(doc.find(">a&lt;b &amp; &quot;c&quot; &gt; &apos;d&apos;</text>"), std::string::npos) << doc;
    EXPECT_NE(doc.find(">\xC2\xB5V ok</text>"), std::string::npos);
    EXPECT_NE(doc.find(">\xC2\xB5V latin</text>"), std::string::npos);
    // Not UTF-8: every byte as Latin-1, with the C1 controls and other controls replaced.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_NE(doc.find(">x" + replacement + "y" + replacement + "z\xC3\xA2" + replacement + "</text>"),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find(">\xC3\xAD\xC2\xA0" + replacement + "s</text>"), std::string::npos) << doc;
    EXPECT_NE(doc.find(">t" + replacement + "\xE2\x82\xAC</text>"), std::string::npos) << doc;
}

// Decimal comma and digit grouping, as a user's locale might have them.
struct CommaPunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(SvgCanvas, NumbersIgnoreTheGlobalLocale) {
    const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
    SvgCanvas svg(12000, 100);
    svg.setFont("Arial", 12.5, 0);
    svg.line(12345, 0, 1, 1);
    svg.text(10000, 20, "x", PlotHAlign::Left, PlotVAlign::Top);
    std::locale::global(saved);
    const std::string doc = svg.document();
    EXPECT_NE(doc.find("x1=\"12345\""), std::string::npos) << doc;
    EXPECT_NE(doc.find("width=\"12000\""), std::string::npos);
    EXPECT_NE(doc.find("font-size=\"12.5\""), std::string::npos);
    EXPECT_NE(doc.find("<text x=\"10000\""), std::string::npos);
}

TEST(SvgCanvas, AWholePlotIsWellFormed) {
    SvgCanvas svg(800, 500);
    PlotDevice d;
    d.canvas = &svg;
    plotSetDeviceSize(d, 800, 500);
    plotClear(d);
    plotAxis(d, 0.0f, 5000.0f, 'X', 'N', "Current <pA> & \"more\"");
    plotAxis(d, 1.0f, 1000.0f, 'Y', 'L', "Count");
    const std::array<float, 3> xs{100.0f, 2000.0f, 4000.0f};
    const std::array<float, 3> ys{2.0f, 50.0f, 700.0f};
    d.markerKind = 4;
    plotSeries(d, xs, ys, 3, "LM", "cells & \"controls\"", 1, 0);
    const std::string doc = svg.document();
    EXPECT_EQ(xmlProblem(doc), "") << doc;
    EXPECT_NE(doc.find("Current &lt;pA&gt; &amp; &quot;more&quot; / 10^3"), std::string::npos);
    EXPECT_EQ(countOf(doc, "<polygon"), 4) << "three triangles and the legend's";
    EXPECT_NE(doc.find(">cells &amp; &quot;controls&quot;</text>"), std::string::npos);
}

}  // namespace
}  // namespace ephys
