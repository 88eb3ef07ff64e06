#pragma once

// A file's whole text, and a text's lines, as tests read what a program wrote.

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace movarth::test {

// Empty when the file cannot be read.
inline std::string ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The lines without their LF; a last line without one counts too.
inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

} // namespace movarth::test
