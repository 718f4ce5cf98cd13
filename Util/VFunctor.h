#pragma once

// A callable that is either a std::function or a wrapped_lambda: callbacks that fit in Size bytes
// are kept inline without touching the heap, larger ones go into the std::function.

#include <WrappedLambda.h>

#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vork {

template <typename Sig, std::size_t Size>
class vfunctor;

template <typename R, typename... Args, std::size_t Size>
class vfunctor<R(Args...), Size>
    : public std::variant<std::function<R(Args...)>, wrapped_lambda<R(Args...), Size, 8>>
{
public:
    using Function = std::function<R(Args...)>;
    using Inline = wrapped_lambda<R(Args...), Size, 8>;

private:
    using Base = std::variant<Function, Inline>;

public:
    vfunctor() = default;
    vfunctor(Function function) : Base(std::in_place_index<0>, std::move(function)) {}
    vfunctor(Inline callable) : Base(std::in_place_index<1>, std::move(callable)) {}

    template <typename F, typename Callable = std::decay_t<F>>
    requires(!std::is_same_v<Callable, vfunctor> && !std::is_same_v<Callable, Function> &&
             !std::is_same_v<Callable, Inline> && std::is_invocable_r_v<R, Callable&, Args...>)
        vfunctor(F&& callable)
        : Base(holding(std::forward<F>(callable)))
    {}

    // An empty std::function alternative throws std::bad_function_call.
    R operator()(Args... args) const
    {
        if (auto* function = std::get_if<0>(this)) {
            return (*function)(std::forward<Args>(args)...);
        }
        return (*std::get_if<1>(this))(std::forward<Args>(args)...);
    }

private:
    template <typename F, typename Callable = std::decay_t<F>>
    static Base holding(F&& callable)
    {
        if constexpr (Inline::template fits<Callable>) {
            return Base(std::in_place_index<1>, std::forward<F>(callable));
        } else {
            return Base(std::in_place_index<0>, std::forward<F>(callable));
        }
    }
};

} // namespace vork
