#pragma once

// A type-erased callable kept in a fixed buffer inside the object. Constructing, copying, moving
// and calling it never touch the heap, so messages of this type can be copied into the slots of a
// lock-free queue. A callable that does not fit in Size bytes or needs an alignment beyond Align is
// refused at compile time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace vork {

namespace detail {

template <typename F, typename Sig>
struct lambda_typeinfo;

template <typename F, typename R, typename... Args>
struct lambda_typeinfo<F, R(Args...)>
{
    static void copy_construct(const void* src, void* dst) { ::new (dst) F(*static_cast<const F*>(src)); }
    static void move_construct(void* src, void* dst) { ::new (dst) F(std::move(*static_cast<F*>(src))); }
    static void destruct(void* storage) { static_cast<F*>(storage)->~F(); }
    static R call(void* storage, Args&&... args)
    {
        return std::invoke(*static_cast<F*>(storage), std::forward<Args>(args)...);
    }
};

} // namespace detail

template <typename Sig, std::size_t Size, std::size_t Align>
class wrapped_lambda;

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
             fits<Callable>) wrapped_lambda(F&& callable)
    {
        using Info = detail::lambda_typeinfo<Callable, R(Args...)>;
        ::new (static_cast<void*>(fStorage)) Callable(std::forward<F>(callable));
        fSize = sizeof(Callable);
        // Callables that are plain bytes (most lambdas) are copied and moved by copying the buffer,
        // and need no destruction: no call through a pointer for them.
        if constexpr (!std::is_trivially_copyable_v<Callable>) {
            fCopy = &Info::copy_construct;
            fMove = &Info::move_construct;
        }
        if constexpr (!std::is_trivially_destructible_v<Callable>) {
            fDestruct = &Info::destruct;
        }
        fCall = &Info::call;
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

    ~wrapped_lambda() { reset(); }

    explicit operator bool() const { return fEngaged; }

    // Like std::function, an empty one throws std::bad_function_call, and the held callable is
    // called as a non-const object.
    R operator()(Args... args) const
    {
        if (!fEngaged) {
            throw std::bad_function_call();
        }
        return fCall(const_cast<std::byte*>(fStorage), std::forward<Args>(args)...);
    }

private:
    void copyFrom(const wrapped_lambda& other)
    {
        if (other.fEngaged) {
            if (other.fCopy) {
                other.fCopy(other.fStorage, fStorage);
            } else {
                copyBytes(other);
            }
            takeOperations(other);
        }
    }

    // Whole blocks, so that the copy is a few fixed-size moves.
    void copyBytes(const wrapped_lambda& other)
    {
        if (other.fSize <= 16) {
            std::memcpy(fStorage, other.fStorage, std::min<std::size_t>(16, Size));
        } else if (other.fSize <= 64) {
            std::memcpy(fStorage, other.fStorage, std::min<std::size_t>(64, Size));
        } else {
            std::memcpy(fStorage, other.fStorage, Size);
        }
    }

    void moveFrom(wrapped_lambda& other) noexcept
    {
        if (other.fEngaged) {
            if (other.fMove) {
                other.fMove(other.fStorage, fStorage);
            } else {
                copyBytes(other);
            }
            takeOperations(other);
            other.reset();
        }
    }

    void takeOperations(const wrapped_lambda& other)
    {
        fCopy = other.fCopy;
        fMove = other.fMove;
        fDestruct = other.fDestruct;
        fCall = other.fCall;
        fSize = other.fSize;
        fEngaged = true;
    }

    // The operations of an empty object are never used, so they are left as they are.
    void reset() noexcept
    {
        if (fEngaged) {
            fEngaged = false;
            if (fDestruct) {
                fDestruct(fStorage);
            }
        }
    }

    alignas(Align) std::byte fStorage[Size];
    bool fEngaged = false;
    uint16_t fSize = 0;
    void (*fCopy)(const void*, void*) = nullptr;
    void (*fMove)(void*, void*) = nullptr;
    void (*fDestruct)(void*) = nullptr;
    R (*fCall)(void*, Args&&...) = nullptr;
};

} // namespace vork
