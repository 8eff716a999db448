// The files named on a desktop program's command line: whether an argument names a file of the
// program's kind, and its absolute path.
#pragma once

#include <string>
#include <string_view>

namespace ephys {

// True when a command-line argument names a file of this kind (".abf", ".sca"): the extension
// appears in the name, in any case.
bool argumentHasExtension(std::string_view argument, std::string_view extension);

// A command-line file name made absolute against the current folder, its bytes kept.
std::string argumentAbsolutePath(const std::string& argument);

}  // namespace ephys
