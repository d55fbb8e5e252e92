// Readable names for table-driven test cases: index and label, with every
// character that is not a letter or digit turned into '_'.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

template <class Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info)
{
    std::string name = std::to_string(info.index) + "_" + info.param.label;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}
