#pragma once

namespace tarnel::core {

// A visitor made of lambdas, one per alternative of a std::variant.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace tarnel::core
