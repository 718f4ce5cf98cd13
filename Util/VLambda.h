#pragma once

// One overload set made of several lambdas, for visiting a std::variant:
//     std::visit(vork::vlambda{[](const A&) {...}, [](const B&) {...}}, value);

namespace vork {

template <typename... F>
struct vlambda : F...
{
    using F::operator()...;
};

template <typename... F>
vlambda(F...) -> vlambda<F...>;

} // namespace vork
