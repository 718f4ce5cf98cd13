#pragma once

// Runs an action when the scope ends, also when it is left by an exception. An action that throws
// (or an empty std::function) ends the process: a clean-up that fails cannot be reported from a
// destructor.

#include <functional>
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
        if (auto* function = std::get_if<void (*)()>(&fAction)) {
            if (*function) {
                (*function)();
            }
        } else {
            std::function<void()> action = std::get<std::function<void()>>(fAction);
            action();
        }
    }

private:
    std::variant<void (*)(), std::function<void()>> fAction;
};
