#include "params/number_list.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace ephys {
namespace {

// Walks a list the way the run drivers do: one count call, then one element call per element.
std::vector<int> walk(std::string text, int minValue, int maxValue) {
    int index = 0;
    int count = parseNumberList(text, index, minValue, maxValue);
    std::vector<int> elements;
    for (int k = 1; k <= count; ++k) {
        int element = k;
        EXPECT_EQ(parseNumberList(text, element, minValue, maxValue), count);
        elements.push_back(element);
    }
    return elements;
}

std::vector<int> range(int first, int last) {
    std::vector<int> v(static_cast<std::size_t>(last - first + 1));
    std::iota(v.begin(), v.end(), first);
    return v;
}

TEST(NumberList, RangesStepsAndDirections) {
    EXPECT_EQ(walk("1..5", 1, 100), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(walk("10..1Q3", 1, 100), (std::vector<int>{10, 7, 4, 1}));
    EXPECT_EQ(walk("10..1Q4", 1, 100), (std::vector<int>{10, 6, 2}));
    EXPECT_EQ(walk("1..10Q1", 1, 100), range(1, 10));
    EXPECT_EQ(walk("1..10Q2", 1, 100), (std::vector<int>{1, 3, 5, 7, 9}));
    EXPECT_EQ(walk("7", 1, 100), (std::vector<int>{7}));
    // Duplicates stay, a descending range runs down, a range does not move the range start.
    EXPECT_EQ(walk("1..3,2..1", 1, 100), (std::vector<int>{1, 2, 3, 2, 1}));
    std::vector<int> twoRanges = range(1, 5);
    for (int v : range(2, 9)) twoRanges.push_back(v);
    EXPECT_EQ(walk("1..5..9", 1, 100), twoRanges);
    // A comma element becomes the next range start.
    EXPECT_EQ(walk("3,8..10", 1, 100), (std::vector<int>{3, 8, 9, 10}));
    EXPECT_EQ(walk("5..5", 1, 100), (std::vector<int>{5}));
}

TEST(NumberList, Exclusion) {
    std::vector<int> without57 = range(1, 20);
    std::erase(without57, 5);
    std::erase(without57, 7);
    EXPECT_EQ(walk("1..20,X5,7", 1, 100), without57);

    std::vector<int> outer = range(1, 9);
    for (int v : range(21, 100)) outer.push_back(v);
    EXPECT_EQ(walk("1..100,X10..20", 1, 100), outer);

    // Every occurrence goes, and lower-case letters act as upper-case ones.
    EXPECT_EQ(walk("1,2,1,3,x1", 1, 100), (std::vector<int>{2, 3}));
    std::vector<int> without4 = range(1, 9);
    std::erase(without4, 4);
    EXPECT_EQ(walk("1..9,x4", 1, 100), without4);
    // An X standing alone between two numbers leaves an empty separator: not a list.
    EXPECT_EQ(walk("1..9x4", 1, 100), std::vector<int>{});
    // A stepped exclusion removes only the values the steps reach.
    EXPECT_EQ(walk("1,2,3,4,5,6,7,8,9,10,X1..9Q2", 1, 100), (std::vector<int>{2, 4, 6, 8, 10}));
    // Separators at the end of the text add nothing.
    EXPECT_EQ(walk("1,,X", 1, 100), (std::vector<int>{1}));
}

TEST(NumberList, OpenEndIsCompletedByTheCountCallOnly) {
    std::string text = "50..";
    int index = 0;
    EXPECT_EQ(parseNumberList(text, index, 1, 100), 51);
    EXPECT_EQ(text, "50..100");
    EXPECT_EQ(index, 0);

    text = "7..";
    index = 1;
    EXPECT_EQ(parseNumberList(text, index, 1, 9), 1) << "an element call sees only 7";
    EXPECT_EQ(text, "7..");
    EXPECT_EQ(index, 7);
    EXPECT_EQ(walk("7..", 1, 9), (std::vector<int>{7, 8, 9}));

    text = "2,7.. ";
    index = 0;
    EXPECT_EQ(parseNumberList(text, index, 1, 9), 4);
    EXPECT_EQ(text, "2,7..9") << "blanks after the open end do not spoil the completed list";
}

TEST(NumberList, InvalidLists) {
    for (const char* bad :
         {"0,3", "3 4", "-3", "1...5", "1..200", "a", "1;2", "1..10Q", "1..10Q0", "1..10Q-2"}) {
        std::string text = bad;
        int index = 0;
        EXPECT_EQ(parseNumberList(text, index, 1, 100), 0) << bad;
    }
    // The empty text is one element 0, which only a lower limit of 0 admits.
    std::string empty;
    int index = 0;
    EXPECT_EQ(parseNumberList(empty, index, 1, 100), 0);
    index = 1;
    EXPECT_EQ(parseNumberList(empty, index, 0, 100), 1);
    EXPECT_EQ(index, 0);
}

TEST(NumberList, WorkingStoreBound) {
    // Limits 1..10 leave room for 10 - 1 + 21 = 30 elements.
    std::string full = "1..10,1..10,1..10";
    int index = 0;
    EXPECT_EQ(parseNumberList(full, index, 1, 10), 30);
    std::string over = "1..10,1..10,1..10,1";
    EXPECT_EQ(parseNumberList(over, index, 1, 10), 0);
}

TEST(NumberList, UpperCasesTheCallersTextAndWalksWholeLists) {
    std::string text = "1..9,x4q2";
    int index = 0;
    parseNumberList(text, index, 1, 100);
    EXPECT_EQ(text, "1..9,X4Q2");

    std::string frames = "1..1000,x100..200,999..10q1";
    auto whole = expandNumberList(frames, 1, 1000);
    ASSERT_TRUE(whole.has_value());
    std::vector<int> walked = walk(frames, 1, 1000);
    EXPECT_EQ(std::vector<int>(whole->begin(), whole->end()), walked);
    std::string bad = "1..1001";
    EXPECT_FALSE(expandNumberList(bad, 1, 1000).has_value());
}

TEST(NumberList, Findint) {
    std::size_t rest = 99;
    EXPECT_EQ(findint("..12,3", rest), 12);
    EXPECT_EQ(rest, 4u);
    rest = 99;
    EXPECT_EQ(findint(" 12", rest), 0);
    EXPECT_EQ(rest, 99u) << "a character that is not allowed leaves rest alone";
    EXPECT_EQ(findint("..", rest), 0);
    EXPECT_EQ(rest, 2u);
    EXPECT_EQ(listCharClass('x'), 0);
    EXPECT_EQ(listCharClass('-'), -1);
    EXPECT_EQ(listCharClass('9'), 1);
}

}  // namespace
}  // namespace ephys
