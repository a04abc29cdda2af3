// A minimal check harness for the C++ core's unit tests: each test program
// registers cases with TEST(name), runs them all from main and exits non-zero
// if any CHECK failed.  No framework to build or install.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace segmorph_test {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

inline int& failures() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> body) { cases().push_back({name, std::move(body)}); }
};

inline void report(const char* file, int line, const char* expr, const std::string& detail) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s%s%s\n", file, line, expr, detail.empty() ? "" : " -- ",
                 detail.c_str());
}

inline int run_all() {
    for (const Case& c : cases()) {
        const int before = failures();
        c.body();
        if (failures() != before) std::fprintf(stderr, "FAILED %s\n", c.name);
    }
    std::printf("%zu cases, %d failed checks\n", cases().size(), failures());
    return failures() == 0 ? 0 : 1;
}

}  // namespace segmorph_test

#define SEGMORPH_CAT2(a, b) a##b
#define SEGMORPH_CAT(a, b) SEGMORPH_CAT2(a, b)
#define TEST(name)                                                                   \
    static void name();                                                              \
    static const segmorph_test::Register SEGMORPH_CAT(register_, name)(#name, name); \
    static void name()
#define CHECK(expr)                                                        \
    do {                                                                   \
        if (!(expr)) segmorph_test::report(__FILE__, __LINE__, #expr, ""); \
    } while (0)
#define CHECK_EQ(a, b)                                                                                       \
    do {                                                                                                     \
        const auto& check_a_ = (a);                                                                          \
        const auto& check_b_ = (b);                                                                          \
        if (!(check_a_ == check_b_))                                                                         \
            segmorph_test::report(                                                                           \
                __FILE__, __LINE__, #a " == " #b,                                                            \
                std::string(std::string_view(check_a_)) + " != " + std::string(std::string_view(check_b_))); \
    } while (0)
#define TEST_MAIN() \
    int main() { return segmorph_test::run_all(); }
