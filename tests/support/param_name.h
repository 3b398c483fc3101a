// Names for the cases of parameterised tests. gtest takes letters, digits and
// '_' only, and ctest lists a case under its name (gtest_discover_tests with
// NO_PRETTY_VALUES), so a name is made from the case's own values: it reads as
// the case and stays the same from one build to the next.
//
//   INSTANTIATE_TEST_SUITE_P(Rows, OidTable, ::testing::ValuesIn(cases),
//       [](const auto& info) { return test_support::param_name(info.param.dotted); });
#pragma once

#include <string>
#include <string_view>

namespace test_support {

// `text` with each run of other characters turned into one '_', none at either
// end ("2.5.29.19" gives "2_5_29_19", "no default: first" "no_default_first");
// "empty" when nothing is left.
inline std::string param_name(std::string_view text) {
    std::string name;
    bool gap = false;
    for (const char c : text) {
        const bool kept =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!kept) {
            gap = true;
            continue;
        }
        if (gap && !name.empty()) name += '_';
        gap = false;
        name += c;
    }
    return name.empty() ? "empty" : name;
}

// A signed number as a name: "minus_255" for -255.
inline std::string number_name(long long value) {
    return value < 0 ? "minus_" + std::to_string(0 - static_cast<unsigned long long>(value))
                     : std::to_string(value);
}

} // namespace test_support
