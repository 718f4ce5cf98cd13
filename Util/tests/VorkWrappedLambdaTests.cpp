#include "VorkAllocationCounter.h"

#include <VFunctor.h>
#include <VLambda.h>
#include <WrappedLambda.h>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <variant>

namespace {

using Message = vork::wrapped_lambda<void(), 128, 8>;
using Counter = vork::wrapped_lambda<int(), 128, 8>;

// Counts the live copies of a callable.
struct Tracked
{
    static inline int sAlive = 0;
    Tracked() { ++sAlive; }
    Tracked(const Tracked&) { ++sAlive; }
    Tracked(Tracked&&) noexcept { ++sAlive; }
    ~Tracked() { --sAlive; }
    void operator()() const {}
};

TEST(WrappedLambda, SharedCaptureCountIsExactThroughCopyMoveAndAssignment)
{
    auto shared = std::make_shared<int>(0);
    auto other = std::make_shared<int>(0);
    {
        Message first([shared] {});
        EXPECT_EQ(shared.use_count(), 2);
        Message copy(first);
        EXPECT_EQ(shared.use_count(), 3);
        Message moved(std::move(copy));
        EXPECT_EQ(shared.use_count(), 3);

        Message target([other] {});
        target = first;
        EXPECT_EQ(shared.use_count(), 4);
        EXPECT_EQ(other.use_count(), 1);

        Message moveTarget([other] {});
        moveTarget = std::move(moved);
        EXPECT_EQ(shared.use_count(), 4);
        EXPECT_EQ(other.use_count(), 1);
        EXPECT_FALSE(moved);

        auto& alias = first;
        first = alias;
        first = std::move(alias);
        EXPECT_EQ(shared.use_count(), 4);
        EXPECT_TRUE(first);
    }
    EXPECT_EQ(shared.use_count(), 1);
    EXPECT_EQ(other.use_count(), 1);
}

TEST(WrappedLambda, MovedFromIsEmptyAndItsCallableDestroyedOnce)
{
    {
        Message source{Tracked{}};
        ASSERT_EQ(Tracked::sAlive, 1);
        Message target(std::move(source));
        EXPECT_EQ(Tracked::sAlive, 1);
        EXPECT_FALSE(source);
        EXPECT_THROW(source(), std::bad_function_call);
        EXPECT_TRUE(target);
    }
    EXPECT_EQ(Tracked::sAlive, 0);
}

TEST(WrappedLambda, CopyRunsSameCodeWithItsOwnCaptures)
{
    Counter original([count = 0]() mutable { return ++count; });
    EXPECT_EQ(original(), 1);
    Counter copy(original);
    EXPECT_EQ(copy(), 2);
    EXPECT_EQ(copy(), 3);
    EXPECT_EQ(original(), 2);
}

TEST(WrappedLambda, NeverAllocates)
{
    std::array<char, 120> capture{};
    capture[119] = 'x';
    char seen = 0;
    VorkTesting::AllocationCounter allocations;
    Message message([capture, &seen] { seen = capture[119]; });
    Message copy(message);
    Message moved(std::move(copy));
    copy = moved;
    moved();
    EXPECT_EQ(allocations.count(), 0u);
    EXPECT_EQ(seen, 'x');
}

// A callable that checks every byte of its capture: all of it must travel with each copy and move.
template <std::size_t Bytes>
auto byteCheck()
{
    std::array<unsigned char, Bytes> bytes;
    for (std::size_t i = 0; i < Bytes; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    return [bytes] {
        for (std::size_t i = 0; i < Bytes; ++i) {
            if (bytes[i] != static_cast<unsigned char>(i * 7 + 1)) {
                return false;
            }
        }
        return true;
    };
}

auto stringCheck()
{
    return [text = std::string(100, 'k')] { return text == std::string(100, 'k'); };
}

// Copies and moves through constructors over storage full of other bytes, and through assignment
// onto a wrapper that holds a different capture, so that any byte left behind shows.
template <typename Wrapper, typename Callable>
void expectWholeCaptureTravels(Callable callable, const char* row)
{
    SCOPED_TRACE(row);
    const Wrapper original(callable);
    alignas(Wrapper) std::byte raw[2][sizeof(Wrapper)];
    std::memset(raw, 0xff, sizeof(raw));
    auto* copy = ::new (raw[0]) Wrapper(original);
    auto* moved = ::new (raw[1]) Wrapper(std::move(*copy));
    EXPECT_FALSE(*copy);
    ASSERT_TRUE(*moved);
    EXPECT_TRUE((*moved)());

    Wrapper assigned([filler = std::array<unsigned char, sizeof(Callable)>{}] { return filler[0] == 1; });
    assigned = *moved;
    EXPECT_TRUE(assigned());
    Wrapper moveAssigned([filler = std::array<unsigned char, sizeof(Callable)>{}] { return filler[0] == 1; });
    moveAssigned = std::move(*moved);
    EXPECT_FALSE(*moved);
    EXPECT_TRUE(moveAssigned());
    EXPECT_TRUE(original());
    copy->~Wrapper();
    moved->~Wrapper();
}

TEST(WrappedLambda, CopiesAndMovesCarryTheWholeCapture)
{
    using Checker = vork::wrapped_lambda<bool(), 128, 8>;
    expectWholeCaptureTravels<Checker>(byteCheck<1>(), "1 byte");
    expectWholeCaptureTravels<Checker>(byteCheck<16>(), "16 bytes");
    expectWholeCaptureTravels<Checker>(byteCheck<17>(), "17 bytes");
    expectWholeCaptureTravels<Checker>(byteCheck<64>(), "64 bytes");
    expectWholeCaptureTravels<Checker>(byteCheck<65>(), "65 bytes");
    expectWholeCaptureTravels<Checker>(byteCheck<128>(), "128 bytes, the whole buffer");
    expectWholeCaptureTravels<vork::wrapped_lambda<bool(), 20, 4>>(byteCheck<20>(), "buffer of 20 bytes");
    expectWholeCaptureTravels<vork::wrapped_lambda<bool(), 1024, 8>>(byteCheck<1000>(), "1000 bytes");
    expectWholeCaptureTravels<Checker>(stringCheck(), "a string, not plain bytes");
}

// A callable whose copies throw once the switch is set.
struct CopyFails
{
    static inline bool sFail = false;
    CopyFails() = default;
    CopyFails(const CopyFails&)
    {
        if (sFail) {
            throw std::runtime_error("copy failed");
        }
    }
    void operator()() const {}
};

TEST(WrappedLambda, FailedCopyAssignmentLeavesTargetEmptyAndItsOldCallableDestroyedOnce)
{
    {
        const Message failing{CopyFails{}};
        Message target{Tracked{}};
        CopyFails::sFail = true;
        EXPECT_THROW(target = failing, std::runtime_error);
        CopyFails::sFail = false;
        EXPECT_FALSE(target);
        EXPECT_EQ(Tracked::sAlive, 0);
    }
    EXPECT_EQ(Tracked::sAlive, 0);
}

// Every queue and pump element carries one: the buffer, the engaged flag and the four operation
// pointers of the held callable.
TEST(WrappedLambda, SizeIsTheBufferTheFlagAndFourPointers)
{
    struct Row
    {
        const char* fName;
        std::size_t fSize;
        std::size_t fExpected;
    };
    const Row rows[] = {
        {"message", sizeof(vork::wrapped_lambda<void(), 128, 8>), 168},
        {"interface message", sizeof(vork::wrapped_lambda<void(), 256, 16>), 304},
        {"download message", sizeof(vork::wrapped_lambda<void(), 1024, 8>), 1064},
        {"completion", sizeof(vork::wrapped_lambda<void(bool, unsigned int), 128, 8>), 168},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.fSize, row.fExpected) << row.fName;
    }
}

TEST(WrappedLambda, EmptyThrowsBadFunctionCall)
{
    Message empty;
    EXPECT_THROW(empty(), std::bad_function_call);
}

struct alignas(16) OverAligned
{
    void operator()() const {}
};

TEST(WrappedLambda, RefusesCallablesThatDoNotFit)
{
    using Small = vork::wrapped_lambda<void(), 16, 8>;
    auto fitting = [a = std::array<char, 16>{}] { (void)a; };
    auto tooLarge = [a = std::array<char, 17>{}] { (void)a; };
    static_assert(std::is_constructible_v<Small, decltype(fitting)>);
    static_assert(!std::is_constructible_v<Small, decltype(tooLarge)>);
    static_assert(!std::is_constructible_v<Small, OverAligned>);
    static_assert(std::is_constructible_v<vork::wrapped_lambda<void(), 16, 16>, OverAligned>);
    static_assert(std::is_convertible_v<std::function<void()>, Message>);
}

using Completion = vork::vfunctor<void(bool, unsigned int), 128>;

TEST(VFunctor, CallsEitherAlternative)
{
    bool seenOk = false;
    unsigned int seenCount = 0;
    auto record = [&](bool ok, unsigned int count) {
        seenOk = ok;
        seenCount = count;
    };

    Completion inlineCallback(record);
    EXPECT_EQ(inlineCallback.index(), 1u);
    inlineCallback(true, 7);
    EXPECT_TRUE(seenOk);
    EXPECT_EQ(seenCount, 7u);

    Completion function{std::function<void(bool, unsigned int)>(record)};
    EXPECT_EQ(function.index(), 0u);
    function(false, 9);
    EXPECT_FALSE(seenOk);
    EXPECT_EQ(seenCount, 9u);

    std::array<char, 200> large{};
    large[0] = 1;
    Completion tooLargeForInline([large, &seenCount](bool, unsigned int) { seenCount = large[0]; });
    EXPECT_EQ(tooLargeForInline.index(), 0u);
    tooLargeForInline(true, 0);
    EXPECT_EQ(seenCount, 1u);
}

TEST(VFunctor, EmptyFunctionThrowsBadFunctionCall)
{
    Completion empty(std::function<void(bool, unsigned int)>{});
    EXPECT_THROW(empty(true, 1), std::bad_function_call);
}

TEST(VLambda, VisitsVariant)
{
    auto describe = vork::vlambda{[](int value) { return "int " + std::to_string(value); },
                                  [](const std::string& text) { return "text " + text; }};
    std::variant<int, std::string> value = 4;
    EXPECT_EQ(std::visit(describe, value), "int 4");
    value = std::string("four");
    EXPECT_EQ(std::visit(describe, value), "text four");
}

} // namespace
