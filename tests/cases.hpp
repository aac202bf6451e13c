// What the tables of test cases share: every case begins with its name, which gtest
// prints for a failing case and puts in the test's own name. Rows name their fields, so
// that a row gives only what differs from the defaults.
#pragma once

#include <concepts>
#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace cases {

// Prints a case as its name. A file of tables brings it in with
// `using cases::operator<<;` beside its cases, where gtest's printer looks.
template <typename Case>
requires requires(const Case& c) {
    { c.name } -> std::convertible_to<const char*>;
}
std::ostream& operator<<(std::ostream& out, const Case& c) {
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
