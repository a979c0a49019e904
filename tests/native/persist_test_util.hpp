// Helpers shared by the persistence tests (used with check.hpp).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "check.hpp"

// Like CHECK_EQ for texts, printing both sides when they differ.
#define EXPECT_TEXT(actual, expected)                                                     \
  do {                                                                                    \
    const std::string expect_actual(actual);                                              \
    const std::string expect_expected(expected);                                          \
    if (expect_actual != expect_expected) {                                               \
      std::fprintf(stderr, "%s:%d: %s\n  actual:   %s\n  expected: %s\n", __FILE__, __LINE__, \
                   #actual, expect_actual.c_str(), expect_expected.c_str());               \
      ++check::failures_in_current_test();                                                \
    }                                                                                     \
  } while (0)
