// What the tables of test cases share: every case begins with its name, which gtest
// prints for a failing case and puts in the test's own name.
#pragma once

#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace cases {

struct named {
    const char* name;
};

// Found for every case derived from `named`; gtest prints a case with it.
inline std::ostream& operator<<(std::ostream& out, const named& c) {
    return out << c.name;
}

// The name of a case in the test's name, for INSTANTIATE_TEST_SUITE_P.
struct case_name {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

} // namespace cases
