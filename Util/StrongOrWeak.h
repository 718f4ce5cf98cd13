#pragma once

// A pointer that either owns its object or only observes it.

#include <memory>
#include <variant>

template <typename T>
class strong_or_weak : public std::variant<std::shared_ptr<T>, std::weak_ptr<T>>
{
public:
    using std::variant<std::shared_ptr<T>, std::weak_ptr<T>>::variant;

    // The object, or an empty pointer when there is none or it is gone.
    std::shared_ptr<T> lock() const
    {
        if (auto* strong = std::get_if<0>(this)) {
            return *strong;
        }
        return std::get_if<1>(this)->lock();
    }
};
