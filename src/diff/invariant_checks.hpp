#pragma once

// The debug mode of the diff core. With TARNU_CHECK_INVARIANTS defined, every
// operation that changes a GraphDiff checks the record before it returns (or
// throws) and aborts the process with a description of the first invariant
// it finds broken. The macro is defined by default in builds without NDEBUG,
// and by the build of the C++ tests; a release build (NDEBUG, as the module's
// Release and RelWithDebInfo builds) compiles none of it. Every translation
// unit of one program must see the same setting.
//
// GraphDiff::check_invariants() itself exists in every build: the model test
// and the fuzz target call it after their steps.

#if !defined(NDEBUG) && !defined(TARNU_CHECK_INVARIANTS)
#define TARNU_CHECK_INVARIANTS 1
#endif

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tarnu::detail {

[[noreturn]] inline void invariant_broken(std::string_view operation, std::string_view what) noexcept {
    std::fprintf(stderr, "tarnu: diff record inconsistent after %.*s: %.*s\n", static_cast<int>(operation.size()),
                 operation.data(), static_cast<int>(what.size()), what.data());
    std::abort();
}

}  // namespace tarnu::detail
