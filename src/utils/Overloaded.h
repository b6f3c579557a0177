#pragma once

namespace velkor {

/// Builds one visitor for std::visit from several lambdas.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

// Spelled out for compilers without aggregate deduction (clang 14 builds the fuzzers).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace velkor
