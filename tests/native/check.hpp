// A minimal test harness for the C++ unit tests: CHECK records failures,
// main() runs every registered test and prints "N passed, N failed".
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Test {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Test>& registry() {
  static std::vector<Test> tests;
  return tests;
}

inline int& failures_in_current_test() {
  static int failures = 0;
  return failures;
}

struct Register {
  Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                   \
  static void name();                                                               \
  static check::Register CHECK_CONCAT(register_, name)(#name, name);                \
  static void name()

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
      ++check::failures_in_current_test();                                          \
    }                                                                               \
  } while (0)

#define CHECK_EQ(a, b)                                                              \
  do {                                                                              \
    auto&& check_a = (a);                                                           \
    auto&& check_b = (b);                                                           \
    if (!(check_a == check_b)) {                                                    \
      std::fprintf(stderr, "%s:%d: CHECK_EQ failed: %s == %s\n", __FILE__, __LINE__, #a, #b); \
      ++check::failures_in_current_test();                                          \
    }                                                                               \
  } while (0)

#define CHECK_THROWS_MESSAGE(expression, text)                                      \
  do {                                                                              \
    std::string check_message = "<no exception>";                                   \
    try {                                                                           \
      expression;                                                                   \
    } catch (const std::exception& e) {                                             \
      check_message = e.what();                                                     \
    }                                                                               \
    if (check_message != std::string(text)) {                                       \
      std::fprintf(stderr, "%s:%d: expected failure \"%s\", got \"%s\"\n", __FILE__, __LINE__, \
                   std::string(text).c_str(), check_message.c_str());                \
      ++check::failures_in_current_test();                                          \
    }                                                                               \
  } while (0)

int main() {
  int passed = 0, failed = 0;
  for (const check::Test& test : check::registry()) {
    check::failures_in_current_test() = 0;
    try {
      test.body();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: unexpected exception: %s\n", test.name, e.what());
      ++check::failures_in_current_test();
    }
    if (check::failures_in_current_test() == 0) {
      ++passed;
    } else {
      ++failed;
      std::fprintf(stderr, "FAILED: %s\n", test.name);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
