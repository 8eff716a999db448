#include "shell/file_arguments.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace ephys {

bool argumentHasExtension(std::string_view argument, std::string_view extension) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    const auto found = std::search(argument.begin(), argument.end(), extension.begin(), extension.end(),
                                   [&](char a, char b) { return lower(a) == lower(b); });
    return found != argument.end() || extension.empty();
}

std::string argumentAbsolutePath(const std::string& argument) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(argument, ec);
    return ec ? argument : absolute.lexically_normal().string();
}

}  // namespace ephys
