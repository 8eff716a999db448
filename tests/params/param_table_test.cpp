#include "params/param_table.h"

#include <gtest/gtest.h>

#include <cfloat>

namespace ephys {
namespace {

// A small record and table of every kind, as a program would build them.
struct Record {
    std::string frames;
    std::string note;
    std::int32_t channel = 0;
    std::int32_t unchecked = 0;
    float duration = 1.0f;
    float gain = 0.0f;
    char polarity = 'P';
    char export_ = 'Y';
    std::int32_t flag = 0;
};

ParamTable makeTable(Record& r) {
    ParamTable t;
    t.rows.push_back(paramListRow(r.frames, "Frames", 1, 78));
    t.rows.push_back(paramTextRow(r.note, "Note"));
    t.rows.push_back(paramIntRow(r.channel, "First Channel (0-15)", 0, 15, PF_PAGE_END));
    t.rows.push_back(paramIntRow(r.unchecked, "Interval to Measure"));
    t.rows.push_back(paramFloatRow(r.duration, "Max Spike Duration (ms)", 0, 50));
    t.rows.push_back(paramFloatRow(r.gain, "Gain"));
    t.rows.push_back(paramChoiceRow(r.polarity, "PN", "Spike Polarity:Positive,Negative", PF_PAGE_END));
    t.rows.push_back(paramYesNoRow(r.export_, "Export Scan"));
    t.rows.push_back(paramBoolRow(r.flag, "Flag"));
    return t;
}

ParamTable blankRows(std::size_t n, std::uint32_t flagsOfRow(std::size_t), std::vector<std::int32_t>& store) {
    ParamTable t;
    store.assign(n, 0);
    for (std::size_t i = 0; i < n; ++i) t.rows.push_back(paramIntRow(store[i], "r", flagsOfRow(i)));
    return t;
}

TEST(ParamTable, CutsRowsIntoPages) {
    std::vector<std::int32_t> store;
    CapturedMessages messages;

    ParamTable none = blankRows(
        5, [](std::size_t) { return 0u; }, store);
    ASSERT_TRUE(paramTableFinish(none, {"Only"}, messages));
    EXPECT_EQ(none.pageSizes, std::vector<int>{5}) << "no page end: one page of all rows";

    ParamTable lastEnds = blankRows(
        6, [](std::size_t i) { return i == 2 || i == 5 ? PF_PAGE_END : 0u; }, store);
    ASSERT_TRUE(paramTableFinish(lastEnds, {"A", "B"}, messages));
    EXPECT_EQ(lastEnds.pageSizes, (std::vector<int>{3, 3})) << "no empty page after a closing last row";

    ParamTable tail = blankRows(
        7, [](std::size_t i) { return i == 1 || i == 3 ? PF_PAGE_END : 0u; }, store);
    ASSERT_TRUE(paramTableFinish(tail, {"A", "B", "C"}, messages));
    EXPECT_EQ(tail.pageSizes, (std::vector<int>{2, 2, 3})) << "rows after the last page end form a page";
    EXPECT_EQ(paramPageOf(tail, 2).firstRow, 4);
    EXPECT_EQ(paramPageOf(tail, 2).rowCount, 3);
    EXPECT_EQ(paramPageOf(tail, 0).firstRow, 0);
    EXPECT_EQ(tail.pageNames, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_TRUE(messages.empty());

    ParamTable longName = blankRows(
        1, [](std::size_t) { return 0u; }, store);
    paramTableFinish(longName, {std::string(80, 'n')}, messages);
    EXPECT_EQ(longName.pageNames[0].size(), 50u);
}

TEST(ParamTable, ReportsCapacityFaults) {
    std::vector<std::int32_t> store;
    CapturedMessages messages;
    ParamTable tooMany = blankRows(
        21, [](std::size_t) { return 0u; }, store);
    tooMany.rowCapacity = 20;
    EXPECT_FALSE(paramTableFinish(tooMany, {}, messages));
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].text, "Not enough room for dialog menu items");
    EXPECT_EQ(messages.entries()[0].caption, "Exiting on error");

    messages.clear();
    ParamTable pages = blankRows(
        3, [](std::size_t) { return PF_PAGE_END; }, store);
    pages.pageCapacity = 2;
    EXPECT_FALSE(paramTableFinish(pages, {}, messages));
    ASSERT_EQ(messages.entries().size(), 1u);
    EXPECT_EQ(messages.entries()[0].text, "Error in Dialog Preparation, pagesizes");
}

TEST(ParamTable, ChecksTypedText) {
    Record r;
    ParamTable t = makeTable(r);
    auto check = [&](std::size_t row, std::string text) { return paramCheckText(t, row, text); };
    // Integers: digits, '-', 'E' and 'e' only; read by atoi; then the limits.
    EXPECT_TRUE(check(2, "15"));
    EXPECT_FALSE(check(2, "16"));
    EXPECT_FALSE(check(2, "2.5"));
    EXPECT_TRUE(check(2, "1e3")) << "passes the character test and reads as 1";
    EXPECT_TRUE(check(2, "")) << "empty reads as 0, inside 0..15";
    EXPECT_TRUE(check(2, "-0"));
    EXPECT_TRUE(check(2, "--5")) << "reads as 0";
    EXPECT_FALSE(check(2, "-1"));
    EXPECT_FALSE(check(2, " 3"));
    EXPECT_FALSE(check(2, "+3"));
    EXPECT_TRUE(check(3, "-400")) << "a row without limits takes any integer";
    // Floats.
    EXPECT_TRUE(check(4, "50"));
    EXPECT_TRUE(check(4, "0.5"));
    EXPECT_FALSE(check(4, "50.01"));
    EXPECT_FALSE(check(4, "-1"));
    EXPECT_FALSE(check(4, "1,5"));
    EXPECT_TRUE(check(5, "-1e30"));
    EXPECT_FALSE(check(5, "1e39")) << "beyond what a 32-bit float holds";
    // Lists.
    EXPECT_TRUE(check(0, "1..78"));
    EXPECT_FALSE(check(0, "1..79"));
    EXPECT_FALSE(check(0, "3 4"));
    EXPECT_TRUE(check(1, "anything at all"));
    // The lower limit as typed must pass although a 32-bit float holds it a little below.
    ParamRow lowLimit = paramFloatRow(r.gain, "Differentiation window (ms)", 0.01, 200);
    t.rows.push_back(lowLimit);
    EXPECT_TRUE(check(t.rows.size() - 1, "0.01"));
}

TEST(ParamTable, ListRowWithLowerLimitZeroCompletesOpenEnd) {
    std::string list;
    ParamTable t;
    t.rows.push_back(paramListRow(list, "Sweeps", 0, 12));
    std::string typed = "3..";
    EXPECT_TRUE(paramCheckText(t, 0, typed));
    EXPECT_EQ(typed, "3..12");
    std::string empty;
    EXPECT_TRUE(paramCheckText(t, 0, empty)) << "empty is the one element 0";
}

TEST(ParamTable, ErrorTexts) {
    Record r;
    ParamTable t = makeTable(r);
    EXPECT_EQ(paramErrorText(t.rows[4]), "Max Spike Duration (ms)\nmust be a number between 0 and 50!");
    EXPECT_EQ(paramErrorText(t.rows[2]), "First Channel (0-15)\nmust be an integer between 0 and 15!");
    EXPECT_EQ(paramErrorText(t.rows[0]), "Frames\nmust be a valid list of numbers  between 1 and 78!");
    EXPECT_EQ(paramErrorText(t.rows[3]), "Interval to Measure\nmust be an integer!");
    ParamRow fine = paramFloatRow(r.gain, "Window", 0.001, 20000);
    EXPECT_EQ(paramErrorText(fine), "Window\nmust be a number between 0.001 and 20000!");
}

TEST(ParamTable, FormatsParsesAndAccepts) {
    Record r;
    ParamTable t = makeTable(r);
    r.duration = 1e-36f;
    EXPECT_EQ(paramFormatValue(t, 4), "0");
    r.duration = 0.001234f;
    EXPECT_EQ(paramFormatValue(t, 4), "0.001234");
    r.export_ = 'X';
    EXPECT_EQ(paramFormatValue(t, 7), "0") << "any letter but Y is unticked";
    r.export_ = 'Y';
    EXPECT_EQ(paramFormatValue(t, 7), "1");
    r.polarity = '\0';
    EXPECT_EQ(paramFormatValue(t, 6), "");

    EXPECT_EQ(paramAcceptText(t, 4, "10.50"), "10.5");
    EXPECT_FLOAT_EQ(r.duration, 10.5f);
    EXPECT_EQ(paramAcceptText(t, 4, "1e3"), "1000");
    EXPECT_EQ(paramAcceptText(t, 2, "0012"), "12");
    EXPECT_EQ(r.channel, 12);
    EXPECT_EQ(paramAcceptText(t, 1, "as typed "), "as typed ");
    EXPECT_EQ(r.note, "as typed ");
    EXPECT_EQ(paramAcceptText(t, 8, "7"), "1");
    EXPECT_EQ(r.flag, 1);

    paramParseValue(t, 5, "12abc");
    EXPECT_FLOAT_EQ(r.gain, 12.0f);
    paramParseValue(t, 5, "1e300");
    EXPECT_EQ(r.gain, FLT_MAX) << "held at the float range instead of becoming infinite";
    paramParseValue(t, 5, "nan");
    EXPECT_EQ(r.gain, 0.0f);
}

TEST(ParamTable, ChoiceCaptionsAndLookup) {
    Record r;
    ParamTable t = makeTable(r);
    EXPECT_EQ(paramChoiceTitle(t.rows[6]), "Spike Polarity");
    EXPECT_EQ(paramChoiceOptions(t.rows[6]), (std::vector<std::string>{"Positive", "Negative"}));
    EXPECT_EQ(t.findRow("spike polarity:positive,negative"), 6);
    EXPECT_EQ(t.findRow("SPIKE POLARITY"), 6);
    EXPECT_EQ(t.findRow("export scan"), 7);
    EXPECT_EQ(t.findRow("Export"), -1);
}

}  // namespace
}  // namespace ephys
