#pragma once

// A type-erased callable kept in a fixed buffer inside the object. Constructing, copying, moving
// and calling it never touch the heap, so messages of this type can be copied into the slots of a
// lock-free queue. A callable that does not fit in Size bytes or needs an alignment beyond Align is
// refused at compile time.

#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace vork {

namespace detail {

// How a held callable is copied, moved and destroyed. A callable that is plain bytes (most lambdas)
// has no functions here: it is copied by copying the first `bytes` of the buffer and needs no
// destruction, so no call through a pointer is made for it.
struct lambda_operations
{
    void (*copy_construct)(const void* src, void* dst);
    // Moves the callable to dst and destroys it at src.
    void (*relocate)(void* src, void* dst);
    void (*destruct)(void* storage);
    std::size_t bytes;
};

template <std::size_t Bytes>
inline constexpr lambda_operations plain_operations{nullptr, nullptr, nullptr, Bytes};

template <typename F>
inline constexpr lambda_operations lambda_operations_for{
    [](const void* src, void* dst) { ::new (dst) F(*static_cast<const F*>(src)); },
    [](void* src, void* dst) {
        F& source = *static_cast<F*>(src);
        ::new (dst) F(std::move(source));
        source.~F();
    },
    [](void* storage) { static_cast<F*>(storage)->~F(); },
    0,
};

template <typename F, typename R, typename... Args>
R call_lambda(void* storage, Args&&... args)
{
    return std::invoke(*static_cast<F*>(storage), std::forward<Args>(args)...);
}

} // namespace detail

template <typename Sig, std::size_t Size, std::size_t Align>
class wrapped_lambda;

template <typename R, typename... Args, std::size_t Size, std::size_t Align>
class wrapped_lambda<R(Args...), Size, Align>
{
    // Plain-bytes callables are copied in whole blocks: a few fixed-size moves instead of a call.
    // The buffer is rounded up to whole blocks, so that such a copy stays inside it.
    static constexpr std::size_t kBlock = 16;
    static constexpr std::size_t kStorage = (Size + kBlock - 1) / kBlock * kBlock;

public:
    template <typename F>
    static constexpr bool fits = sizeof(F) <= Size && alignof(F) <= Align;

    wrapped_lambda() = default;

    // Implicit, so that a lambda or a std::function converts wherever a message is expected.
    template <typename F, typename Callable = std::decay_t<F>>
    requires(!std::is_same_v<Callable, wrapped_lambda> && std::is_invocable_r_v<R, Callable&, Args...> &&
             std::is_copy_constructible_v<Callable> && fits<Callable>) wrapped_lambda(F&& callable)
    {
        ::new (static_cast<void*>(fStorage)) Callable(std::forward<F>(callable));
        fCall = &detail::call_lambda<Callable, R, Args...>;
        if constexpr (std::is_trivially_copyable_v<Callable>) {
            fOperations = &detail::plain_operations<(sizeof(Callable) + kBlock - 1) / kBlock * kBlock>;
        } else {
            fOperations = &detail::lambda_operations_for<Callable>;
        }
    }

    wrapped_lambda(const wrapped_lambda& other) { copyFrom(other); }
    wrapped_lambda(wrapped_lambda&& other) noexcept : fCall(other.fCall), fOperations(other.fOperations)
    {
        if (fCall) {
            moveStorage(other);
        }
    }

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

    explicit operator bool() const { return fCall != nullptr; }

    // Like std::function, an empty one throws std::bad_function_call, and the held callable is
    // called as a non-const object.
    R operator()(Args... args) const
    {
        if (!fCall) {
            throw std::bad_function_call();
        }
        return fCall(const_cast<std::byte*>(fStorage), std::forward<Args>(args)...);
    }

private:
    void copyFrom(const wrapped_lambda& other)
    {
        if (!other.fCall) {
            return;
        }
        if (other.fOperations->copy_construct) {
            other.fOperations->copy_construct(other.fStorage, fStorage);
        } else {
            copyBytes<kBlock>(other);
        }
        takeOperations(other);
    }

    void moveFrom(wrapped_lambda& other) noexcept
    {
        if (other.fCall) {
            takeOperations(other);
            moveStorage(other);
        }
    }

    // Leaves the other empty.
    void moveStorage(wrapped_lambda& other) noexcept
    {
        if (other.fOperations->relocate) {
            other.fOperations->relocate(other.fStorage, fStorage);
        } else {
            copyBytes<kBlock>(other);
        }
        other.fCall = nullptr;
    }

    // The smallest power-of-two run of blocks that holds the callable, so that the copy is a few
    // fixed-size moves.
    template <std::size_t Bytes>
    void copyBytes(const wrapped_lambda& other)
    {
        if constexpr (Bytes >= kStorage) {
            std::memcpy(fStorage, other.fStorage, kStorage);
        } else if (other.fOperations->bytes <= Bytes) {
            std::memcpy(fStorage, other.fStorage, Bytes);
        } else {
            copyBytes<Bytes * 2>(other);
        }
    }

    void takeOperations(const wrapped_lambda& other)
    {
        fCall = other.fCall;
        fOperations = other.fOperations;
    }

    // An empty object's operations mean nothing.
    void reset() noexcept
    {
        if (fCall) {
            fCall = nullptr;
            if (fOperations->destruct) {
                fOperations->destruct(fStorage);
            }
        }
    }

    alignas(Align) std::byte fStorage[kStorage];
    R (*fCall)(void*, Args&&...) = nullptr;
    const detail::lambda_operations* fOperations = nullptr;
};

} // namespace vork
