// text_files: whole files and their lines, for tests that check what a program wrote.
#ifndef QAV_TESTS_TEXT_FILES_H
#define QAV_TESTS_TEXT_FILES_H

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

#endif
