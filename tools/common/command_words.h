// Splitting a command line typed to one of the tools into words.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> Split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// The text after the first `count` words of `line`, spaces inside it kept.
inline std::string RestAfter(const std::string& line, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < count && at != std::string::npos; ++i) {
        at = line.find_first_not_of(" \t", at);
        if (at != std::string::npos) at = line.find_first_of(" \t", at);
    }
    if (at != std::string::npos) at = line.find_first_not_of(" \t", at);
    return at == std::string::npos ? "" : line.substr(at);
}
