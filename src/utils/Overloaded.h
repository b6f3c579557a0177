#pragma once

namespace velkor {

/// Builds one visitor for std::visit from several lambdas.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace velkor
