#pragma once

// A type-erased callable kept in a fixed buffer inside the object. Constructing, copying, moving
// and calling it never touch the heap, so messages of this type can be copied into the slots of a
// lock-free queue. A callable that does not fit in Size bytes or needs an alignment beyond Align is
// refused at compile time, and so is one that cannot be copied.

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace vork {

namespace detail {

// What a wrapped_lambda needs to know of the callable type F it holds.
template <typename F, typename Sig>
struct lambda_typeinfo;

template <typename F, typename R, typename... Args>
struct lambda_typeinfo<F, R(Args...)>
{
    static void copy_construct(const void* src, void* dst) { ::new (dst) F(*static_cast<const F*>(src)); }

    static void move_construct(void* src, void* dst) { ::new (dst) F(std::move(*static_cast<F*>(src))); }

    static void destruct(void* storage) { static_cast<F*>(storage)->~F(); }

    // Like std::function, the held callable is called as a non-const object.
    static R call(const void* storage, Args&&... args)
    {
        F& callable = *static_cast<F*>(const_cast<void*>(storage));
        if constexpr (std::is_void_v<R>) {
            std::invoke(callable, std::forward<Args>(args)...);
        } else {
            return std::invoke(callable, std::forward<Args>(args)...);
        }
    }
};

} // namespace detail

template <typename Sig, std::size_t Size, std::size_t Align>
class wrapped_lambda;

// Each object carries its callable's operations itself, so a copy needs no second lookup; empty,
// it holds none.
template <typename R, typename... Args, std::size_t Size, std::size_t Align>
class wrapped_lambda<R(Args...), Size, Align>
{
public:
    template <typename F>
    static constexpr bool fits = sizeof(F) <= Size && alignof(F) <= Align;

    wrapped_lambda() = default;

    // Implicit, so that a lambda or a std::function converts wherever a message is expected.
    template <typename F, typename Callable = std::decay_t<F>>
    requires(!std::is_same_v<Callable, wrapped_lambda> && std::is_invocable_r_v<R, Callable&, Args...> &&
             std::is_copy_constructible_v<Callable> && fits<Callable>) wrapped_lambda(F&& callable)
    {
        using TypeInfo = detail::lambda_typeinfo<Callable, R(Args...)>;
        fCopyConstruct = &TypeInfo::copy_construct;
        fMoveConstruct = &TypeInfo::move_construct;
        fDestruct = &TypeInfo::destruct;
        fCall = &TypeInfo::call;
        ::new (static_cast<void*>(fStorage)) Callable(std::forward<F>(callable));
        fEngaged = true;
    }

    wrapped_lambda(const wrapped_lambda& other) { copyFrom(other); }
    wrapped_lambda(wrapped_lambda&& other) noexcept { moveFrom(other); }

    wrapped_lambda& operator=(const wrapped_lambda& other)
    {
        if (this != &other) {
            reset();
            copyFrom(other);
        }
        return *this;
    }

    wrapped_lambda& operator=(wrapped_lambda&& other) noexcept
    {
        if (this != &other) {
            reset();
            moveFrom(other);
        }
        return *this;
    }

    ~wrapped_lambda()
    {
        if (fEngaged) {
            fDestruct(fStorage);
        }
    }

    explicit operator bool() const { return fEngaged; }

    // Like std::function, an empty one throws std::bad_function_call.
    R operator()(Args... args) const
    {
        if (!fEngaged) {
            throw std::bad_function_call();
        }
        return fCall(fStorage, std::forward<Args>(args)...);
    }

private:
    void takeOperations(const wrapped_lambda& other) noexcept
    {
        fCopyConstruct = other.fCopyConstruct;
        fMoveConstruct = other.fMoveConstruct;
        fDestruct = other.fDestruct;
        fCall = other.fCall;
    }

    // The operations are taken once the callable is in place, so that a failed copy leaves this
    // empty with none.
    void copyFrom(const wrapped_lambda& other)
    {
        if (other.fEngaged) {
            other.fCopyConstruct(other.fStorage, fStorage);
            takeOperations(other);
            fEngaged = true;
        }
    }

    // Leaves the other empty.
    void moveFrom(wrapped_lambda& other) noexcept
    {
        if (other.fEngaged) {
            other.fMoveConstruct(other.fStorage, fStorage);
            takeOperations(other);
            fEngaged = true;
            other.reset();
        }
    }

    void reset() noexcept
    {
        if (fEngaged) {
            fEngaged = false;
            fDestruct(fStorage);
        }
        fCopyConstruct = nullptr;
        fMoveConstruct = nullptr;
        fDestruct = nullptr;
        fCall = nullptr;
    }

    alignas(Align) std::byte fStorage[Size];
    bool fEngaged = false;
    void (*fCopyConstruct)(const void* src, void* dst) = nullptr;
    void (*fMoveConstruct)(void* src, void* dst) = nullptr;
    void (*fDestruct)(void* storage) = nullptr;
    R (*fCall)(const void* storage, Args&&... args) = nullptr;
};

} // namespace vork
