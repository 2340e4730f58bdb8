// Libraries loaded at their first use: what a missing library or function
// says, and that a found one is called through its table.
#include <gtest/gtest.h>

#include <cmath>

#include "app/core/runtime_library.h"

// Declared for its type only: no library defines it.
extern "C" double no_such_function_here(double);

namespace zelmar {
namespace {

#define TEST_MATH_FUNCTIONS(X) X(cos) X(sqrt)
struct MathApi {
    ZELMAR_RUNTIME_API_MEMBERS(TEST_MATH_FUNCTIONS)
};
// A table that asks for one function more than the library has.
#define TEST_MISSING_FUNCTIONS(X) X(cos) X(no_such_function_here)
struct MissingApi {
    ZELMAR_RUNTIME_API_MEMBERS(TEST_MISSING_FUNCTIONS)
};

TEST(RuntimeLibrary, FoundFunctionsAreCalledAndFaultsAreSaidOnceAndAgain) {
    std::string why;
    const MathApi* math = LoadRuntimeApi<MathApi>(
        "libm.so.6", "libm", [](void* handle, MathApi& a) { ZELMAR_RUNTIME_API_RESOLVE(TEST_MATH_FUNCTIONS, handle, a) },
        why);
    ASSERT_NE(math, nullptr) << why;
    EXPECT_EQ(math->sqrt(81.0), 9.0);
    EXPECT_TRUE(why.empty());

    const auto missingLibrary = [](void* handle, MathApi& a) { ZELMAR_RUNTIME_API_RESOLVE(TEST_MATH_FUNCTIONS, handle, a) };
    for (int call = 0; call < 2; ++call) {  // the second call answers from the first
        why.clear();
        EXPECT_EQ(LoadRuntimeApi<MathApi>("libzelmar-absent.so.0", "libabsent", missingLibrary, why), nullptr);
        EXPECT_EQ(why.rfind("no libabsent (", 0), 0u) << why;
        EXPECT_NE(why.find("libzelmar-absent.so.0"), std::string::npos) << why;
    }

    why.clear();
    EXPECT_EQ(LoadRuntimeApi<MissingApi>(
                  "libm.so.6", "libm",
                  [](void* handle, MissingApi& a) { ZELMAR_RUNTIME_API_RESOLVE(TEST_MISSING_FUNCTIONS, handle, a) }, why),
              nullptr);
    EXPECT_EQ(why, "libm lacks no_such_function_here");
}

}  // namespace
}  // namespace zelmar
