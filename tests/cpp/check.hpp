// A minimal test harness for the C++ core tests: TEST registers a case, CHECK and
// CHECK_EQ record failures without stopping the case, CHECK_THROWS_TEXT expects a
// Fault with an exact text.
#pragma once

#include <cmath>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/fault.hpp"

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::cerr << file << ":" << line << ": " << what << "\n";
}

}  // namespace check

#define CHECK_CONCAT_(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_(a, b)
#define TEST(name)                                                                  \
    static void name();                                                             \
    static check::Register CHECK_CONCAT(register_, name)(#name, name);              \
    static void name()

#define CHECK(cond)                                                                 \
    do {                                                                            \
        if (!(cond)) check::fail(__FILE__, __LINE__, "CHECK(" #cond ") failed");    \
    } while (0)

#define CHECK_EQ(a, b)                                                              \
    do {                                                                            \
        const auto check_a_ = (a);                                                  \
        const auto check_b_ = (b);                                                  \
        if (!(check_a_ == check_b_)) {                                              \
            std::ostringstream check_os_;                                           \
            check_os_ << "CHECK_EQ(" #a ", " #b ") failed: " << check_a_ << " vs " << check_b_; \
            check::fail(__FILE__, __LINE__, check_os_.str());                       \
        }                                                                           \
    } while (0)

#define CHECK_THROWS_TEXT(expr, text)                                               \
    do {                                                                            \
        try {                                                                       \
            (void)(expr);                                                           \
            check::fail(__FILE__, __LINE__, "expected a fault: " #expr);            \
        } catch (const quillet::Fault& check_e_) {                                  \
            if (std::string(check_e_.what()) != (text))                             \
                check::fail(__FILE__, __LINE__, std::string("fault text was: ") + check_e_.what()); \
        }                                                                           \
    } while (0)
