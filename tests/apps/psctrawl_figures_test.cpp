// psctrawl --batch --figures as users run it: each recording's events figure beside its outputs,
// an SVG document that parses and a PNG that decodes, drawn from the recording's events; the
// other outputs as without figures; a figure that cannot be written fails its recording.
#include <QByteArray>
#include <QImage>
#include <QString>
#include <QXmlStreamReader>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A trigger on falling slopes for abfsynth's inward currents.
const std::string kBatch = "--batch --quiet --no-ini --set \"Diff. trigger ([+-]pa/ms)=-4\" ";

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int lineCount(const fs::path& p) {
    std::istringstream in(read(p));
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

// What an SVG document says: whether it parsed, its root element and its texts.
struct SvgReading {
    bool wellFormed = false;
    std::string root;
    std::vector<std::string> texts;
    int polylines = 0;
};

SvgReading parseSvg(const std::string& document) {
    SvgReading r;
    QXmlStreamReader xml(QByteArray::fromStdString(document));
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        const QString name = xml.name().toString();
        if (r.root.empty()) r.root = name.toStdString();
        if (name == QLatin1String("polyline")) ++r.polylines;
        if (name == QLatin1String("text")) r.texts.push_back(xml.readElementText().toStdString());
    }
    r.wellFormed = !xml.hasError();
    return r;
}

class PsctrawlFigures : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "psctrawl-figures.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        for (const char* args :
             {"--seed 3 --out cell.abf --duration 20", "--seed 4 --out brief.abf --duration 2"})
            ASSERT_EQ(shell(std::string(ABFSYNTH_PROGRAM) + " " + args), 0);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }
    int shell(const std::string& command) {
        const int raw =
            std::system(("cd " + dir_.string() + " && " + command + " >stdout.txt 2>stderr.txt").c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    int run(const std::string& arguments) {
        return shell("XDG_CONFIG_HOME=" + (dir_ / "config").string() + " " + PSCTRAWL_PROGRAM + " " +
                     arguments);
    }
    std::string errors() const { return read(dir_ / "stderr.txt"); }
    fs::path dir_;
};

TEST_F(PsctrawlFigures, EachRecordingGetsAWellFormedSvgAndADecodablePngOfItsEvents) {
    ASSERT_EQ(run(kBatch + "--output-dir plain cell.abf brief.abf"), 0) << errors();
    ASSERT_EQ(run(kBatch + "--figures --output-dir drawn cell.abf brief.abf"), 0) << errors();
    EXPECT_EQ(errors(), "");

    for (const std::string name : {"cell", "brief"}) {
        SCOPED_TRACE(name);
        const std::string svg = read(dir_ / "drawn" / (name + "_events.svg"));
        const SvgReading reading = parseSvg(svg);
        EXPECT_TRUE(reading.wellFormed);
        EXPECT_EQ(reading.root, "svg");
        // The title names the recording and as many events as its event table lists.
        const int events = lineCount(dir_ / "drawn" / (name == "cell" ? "CELL.PRN" : "BRIEF.PRN")) - 2;
        ASSERT_GT(events, 0);
        const std::string title = name + ".abf: " + std::to_string(events) + " events";
        EXPECT_NE(std::find(reading.texts.begin(), reading.texts.end(), title), reading.texts.end()) << title;
        for (const char* axis : {"amplitude (pA)", "10-90 rise time (ms)", "interval (sec)", "times (sec)"})
            EXPECT_NE(std::find(reading.texts.begin(), reading.texts.end(), axis), reading.texts.end())
                << axis;
        // The grey traces (one per event up to 40) and the average.
        EXPECT_EQ(reading.polylines, std::min(events, 40) + 1);

        QImage png;
        ASSERT_TRUE(png.loadFromData(QByteArray::fromStdString(read(dir_ / "drawn" / (name + "_events.png"))),
                                     "PNG"));
        EXPECT_EQ(png.width(), 1000);
        EXPECT_EQ(png.height(), 1100);
        int drawn = 0;
        for (int y = 0; y < png.height(); y += 3)
            for (int x = 0; x < png.width(); x += 3) drawn += png.pixel(x, y) != qRgb(255, 255, 255) ? 1 : 0;
        EXPECT_GT(drawn, 1000);
    }

    // Without --figures there is no figure, and every other output is the same with or without.
    EXPECT_FALSE(fs::exists(dir_ / "plain/cell_events.svg"));
    int compared = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_ / "plain")) {
        EXPECT_EQ(read(e.path()), read(dir_ / "drawn" / e.path().filename())) << e.path().filename();
        ++compared;
    }
    EXPECT_GE(compared, 6);  // two event tables, statistics and scan files
}

TEST_F(PsctrawlFigures, AFigureThatCannotBeWrittenFailsItsRecording) {
    // A folder where the PNG would go: the SVG and the other outputs are written, the recording
    // fails without "->Done", and the other recording is done.
    fs::create_directory(dir_ / "cell_events.png");
    EXPECT_EQ(run(kBatch + "--figures --overwrite cell.abf brief.abf"), 1) << errors();
    EXPECT_NE(errors().find("cell_events.png"), std::string::npos) << errors();
    const std::string out = read(dir_ / "stdout.txt");
    EXPECT_EQ(out.find("cell.abf->Done"), std::string::npos) << out;
    EXPECT_NE(out.find("brief.abf->Done"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(dir_ / "CELL.PRN"));
    EXPECT_TRUE(fs::exists(dir_ / "brief_events.png"));

    // A figure that exists is kept without --overwrite, and the run fails as for any output.
    fs::remove(dir_ / "cell_events.png");
    std::ofstream(dir_ / "cell_events.png") << "older figure";
    EXPECT_EQ(run(kBatch + "--figures cell.abf"), 1) << errors();
    EXPECT_EQ(read(dir_ / "cell_events.png"), "older figure");
    EXPECT_NE(errors().find("Skipped: cell_events.png"), std::string::npos) << errors();
}

}  // namespace
