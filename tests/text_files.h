// text_files: whole files, their lines, data logs and replay files, for tests of programs.
#ifndef QAV_TESTS_TEXT_FILES_H
#define QAV_TESTS_TEXT_FILES_H

#include <algorithm>
#include <dirent.h>
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

// Names of the data logs ("<seconds>qav.log") in dir, oldest first.
inline std::vector<std::string> dataLogsIn(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    for (dirent* entry = d != nullptr ? readdir(d) : nullptr; entry != nullptr; entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.size() > 7 && name.substr(name.size() - 7) == "qav.log") names.push_back(name);
    }
    if (d != nullptr) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Write a simulator replay file: one answer a line, its line feeds escaped.
inline void writeReplayFile(const std::string& path, const std::vector<std::string>& answers)
{
    std::ofstream file(path, std::ios::binary);
    for (const std::string& answer : answers) {
        for (char c : answer) file << (c == '\n' ? std::string("\\x0A") : std::string(1, c));
        file << '\n';
    }
}

#endif
