// vork::wrapped_lambda<void(), 128, 8> against std::function<void()>: construction from a lambda,
// copy, move and call, with captures of 16, 48 and 120 bytes.
//
// Pairs:
//   vork_callable/.../<operation>_<capture bytes>   construct, copy and call (goal: at most the
//       peer's time in every row)
//   vork_callable_move/.../<capture bytes>          move, for information: the wrapped callable is
//       moved through its own move constructor, while std::function only hands over a pointer

#include <WrappedLambda.h>

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace {

using Ours = vork::wrapped_lambda<void(), 128, 8>;
using Peer = std::function<void()>;

template <std::size_t Bytes>
auto makeLambda(long& sink)
{
    std::array<char, Bytes - sizeof(long*)> captured{};
    captured[0] = 1;
    long* target = &sink;
    return [captured, target] { *target += captured[0]; };
}

template <typename Callable, std::size_t Bytes>
void construct(benchmark::State& state)
{
    long sink = 0;
    auto lambda = makeLambda<Bytes>(sink);
    for (auto _ : state) {
        Callable callable(lambda);
        benchmark::DoNotOptimize(callable);
    }
}

template <typename Callable, std::size_t Bytes>
void copy(benchmark::State& state)
{
    long sink = 0;
    const Callable source(makeLambda<Bytes>(sink));
    for (auto _ : state) {
        Callable copied(source);
        benchmark::DoNotOptimize(copied);
    }
}

template <typename Callable, std::size_t Bytes>
void move(benchmark::State& state)
{
    long sink = 0;
    Callable first(makeLambda<Bytes>(sink));
    for (auto _ : state) {
        Callable second(std::move(first));
        benchmark::DoNotOptimize(second);
        first = std::move(second);
    }
}

template <typename Callable, std::size_t Bytes>
void call(benchmark::State& state)
{
    long sink = 0;
    Callable callable(makeLambda<Bytes>(sink));
    for (auto _ : state) {
        benchmark::DoNotOptimize(callable);
        callable();
    }
    benchmark::DoNotOptimize(sink);
}

template <std::size_t Bytes>
void registerSize()
{
    const std::string size = "_" + std::to_string(Bytes);
    benchmark::RegisterBenchmark(("vork_callable/ours/construct" + size).c_str(), construct<Ours, Bytes>);
    benchmark::RegisterBenchmark(("vork_callable/peer/construct" + size).c_str(), construct<Peer, Bytes>);
    benchmark::RegisterBenchmark(("vork_callable/ours/copy" + size).c_str(), copy<Ours, Bytes>);
    benchmark::RegisterBenchmark(("vork_callable/peer/copy" + size).c_str(), copy<Peer, Bytes>);
    benchmark::RegisterBenchmark(("vork_callable_move/ours/" + std::to_string(Bytes)).c_str(),
                                 move<Ours, Bytes>);
    benchmark::RegisterBenchmark(("vork_callable_move/peer/" + std::to_string(Bytes)).c_str(),
                                 move<Peer, Bytes>);
    benchmark::RegisterBenchmark(("vork_callable/ours/call" + size).c_str(), call<Ours, Bytes>);
    benchmark::RegisterBenchmark(("vork_callable/peer/call" + size).c_str(), call<Peer, Bytes>);
}

} // namespace

int main(int argc, char** argv)
{
    registerSize<16>();
    registerSize<48>();
    registerSize<120>();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
