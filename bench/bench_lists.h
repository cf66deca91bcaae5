// Comma-separated option values of the benchmarks ("1,2,8", "asym,disc").
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> word_list(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string w; std::getline(in, w, ',');) v.push_back(w);
    return v;
}

inline std::vector<int> int_list(const std::string& s) {
    std::vector<int> v;
    for (const std::string& w : word_list(s)) v.push_back(std::atoi(w.c_str()));
    return v;
}
