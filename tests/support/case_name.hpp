#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace tarlowen::testing_support {

// Names each case of a table-driven test after the `name` member of its row.
struct CaseName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
        return row.param.name;
    }
};

// Prints a row as its name, so test listings stay readable. Bring it in next to the rows with
// `using testing_support::PrintTo;`.
template <class Row>
    requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

}  // namespace tarlowen::testing_support
