#pragma once

// Runs an action when the scope ends, also when it is left by an exception. An action that throws
// (or an empty std::function) ends the process: a clean-up that fails cannot be reported from a
// destructor.

#include <functional>
#include <type_traits>
#include <utility>
#include <variant>

class DoOnExit
{
public:
    explicit DoOnExit(void (*action)()) : fAction(action) {}

    template <typename F>
    explicit DoOnExit(F&& action) : fAction(std::function<void()>(std::forward<F>(action)))
    {}

    DoOnExit(const DoOnExit&) = delete;
    DoOnExit& operator=(const DoOnExit&) = delete;

    ~DoOnExit()
    {
        std::visit(
            [](auto& action) {
                if constexpr (std::is_pointer_v<std::decay_t<decltype(action)>>) {
                    if (action) {
                        action();
                    }
                } else {
                    // Runs a copy: the stored action belongs to the object being destroyed.
                    std::function<void()> copy = action;
                    copy();
                }
            },
            fAction);
    }

private:
    std::variant<void (*)(), std::function<void()>> fAction;
};
