// The line a program adds when a recording cannot be opened: it always names the file.
#include "abf/abf_error.h"

#include <gtest/gtest.h>

#include <string>

namespace ephys {
namespace {

TEST(AbfOpenFailureLine, NamesTheFileWithTheReasonOnOneLine) {
    EXPECT_EQ(abfOpenFailureLine(kAbfErrFileNotFound, "x.abf"), "File 'x.abf' was not found.");
    EXPECT_EQ(abfOpenFailureLine(kAbfErrNotAbf, "/data/cell 1.abf"),
              "File '/data/cell 1.abf' is not an ABF file.");
    EXPECT_EQ(abfOpenFailureLine(kAbfErrTruncated, ""), "The recording is truncated.");
    // Numbers without a text of their own (and "no error", which never comes with a failure)
    // still give the file, unlike the module's plain error text.
    EXPECT_EQ(abfOpenFailureLine(1007, "x.abf"), "File 'x.abf' cannot be opened (error number 1007).");
    EXPECT_EQ(abfOpenFailureLine(kAbfOk, "x.abf"), "File 'x.abf' cannot be opened (error number 0).");
    for (int error = 1000; error < 1060; ++error)
        EXPECT_EQ(abfOpenFailureLine(error, "x.abf").find_first_of("\r\n"), std::string::npos) << error;
}

}  // namespace
}  // namespace ephys
