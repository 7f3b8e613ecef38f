// A small self-contained test harness for the C++ core.
//
//   TEST(name) { CHECK(cond); CHECK_EQ(a, b); CHECK_BITS(a, b);
//                CHECK_ERROR(result, "message"); CHECK_FAILURE(expr, "message"); }
//
// The runner prints every failed check and closes with "N passed, N failed".
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "error.hpp"

namespace check {

struct Case {
    const char* name;
    void (*body)();
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures_in_case() {
    static int failures = 0;
    return failures;
}

struct Register {
    Register(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

inline void report(const char* file, int line, const std::string& what) {
    ++failures_in_case();
    std::cerr << file << ":" << line << ": " << what << "\n";
}

template <class T>
std::string show(const T& value) {
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
}

inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)

#define TEST(name)                                                                           \
    static void CHECK_CONCAT(test_, name)();                                                 \
    static check::Register CHECK_CONCAT(register_, name)(#name, &CHECK_CONCAT(test_, name)); \
    static void CHECK_CONCAT(test_, name)()

#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) check::report(__FILE__, __LINE__, "CHECK(" #cond ") failed"); \
    } while (0)

#define CHECK_EQ(a, b)                                                                               \
    do {                                                                                             \
        const auto check_a = (a);                                                                    \
        const auto check_b = (b);                                                                    \
        if (!(check_a == check_b))                                                                   \
            check::report(__FILE__, __LINE__,                                                        \
                          #a " == " #b ": " + check::show(check_a) + " != " + check::show(check_b)); \
    } while (0)

// Bit-for-bit equality of two doubles (NaN equals NaN, 0.0 differs from -0.0).
#define CHECK_BITS(a, b)                                                                               \
    do {                                                                                               \
        const double check_a = (a);                                                                    \
        const double check_b = (b);                                                                    \
        if (!check::same_bits(check_a, check_b))                                                       \
            check::report(__FILE__, __LINE__,                                                          \
                          #a " bits " #b ": " + check::show(check_a) + " vs " + check::show(check_b)); \
    } while (0)

// A Result that holds an error with exactly this message.
#define CHECK_ERROR(result, text)                                                                             \
    do {                                                                                                      \
        const auto check_r = (result);                                                                        \
        if (check_r.has_value())                                                                              \
            check::report(__FILE__, __LINE__, #result " succeeded, expected error: " + std::string(text));    \
        else if (check_r.error().message != (text))                                                           \
            check::report(__FILE__, __LINE__,                                                                 \
                          #result " error '" + check_r.error().message + "' != '" + std::string(text) + "'"); \
    } while (0)

// An expression that throws InternalFailure with exactly this message.
#define CHECK_FAILURE(expr, text)                                                                              \
    do {                                                                                                       \
        try {                                                                                                  \
            (void)(expr);                                                                                      \
            check::report(__FILE__, __LINE__, #expr " did not fail");                                          \
        } catch (const tarnwick::InternalFailure& check_e) {                                                   \
            if (std::string(check_e.what()) != (text))                                                         \
                check::report(__FILE__, __LINE__, #expr " failed with '" + std::string(check_e.what()) + "'"); \
        }                                                                                                      \
    } while (0)
