// The text foundation against the standard heap and std::string, as the tool uses them.
#include "BlockPool.h"
#include "SharedString.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A 40-character install directory, as the registry holds it.
constexpr char Directory[] = "C:\\Program Files (x86)\\Quotes Terminal8\\";
static_assert(sizeof Directory - 1 == 40, "a 40-character directory");
constexpr char FileName[] = "FundNameTable.txt";
// The tool reads the registry into a buffer of this many characters.
constexpr int32_t ReadBuffer = 4096;

void BlockPoolPair(benchmark::State& state)
{
    BlockPool pool(static_cast<int32_t>(state.range(0)), 64);
    pool.Deallocate(pool.Allocate());
    for (auto _ : state) {
        void* block = pool.Allocate();
        benchmark::DoNotOptimize(block);
        pool.Deallocate(block);
    }
}
BENCHMARK(BlockPoolPair)->Arg(80)->Arg(144)->Arg(272)->Arg(528);

void MallocPair(benchmark::State& state)
{
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void* block = std::malloc(size);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}
BENCHMARK(MallocPair)->Arg(80)->Arg(144)->Arg(272)->Arg(528);

// What the registry wrote into the buffer, as the compiler sees it: unknown text. Without this it
// reads the length of the copied directory off the literal, and std::string's strlen costs nothing.
void Unseen(char* buffer)
{
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
}

// Read into a reserved buffer, append the file name, release: the tool's path.
void PathSharedString(benchmark::State& state)
{
    const int32_t reserved = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        SharedString path;
        char* buffer = path.ReserveBuffer(reserved);
        std::memcpy(buffer, Directory, sizeof Directory);
        Unseen(buffer);
        path.CommitBuffer(-1);
        path.Append(FileName);
        benchmark::DoNotOptimize(path.Text());
    }
}
BENCHMARK(PathSharedString)->Arg(ReadBuffer)->Arg(64);

void PathStdString(benchmark::State& state)
{
    const std::size_t reserved = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::string path;
        path.resize(reserved);
        std::memcpy(&path[0], Directory, sizeof Directory);
        Unseen(&path[0]);
        path.resize(std::strlen(path.c_str()));
        path += FileName;
        benchmark::DoNotOptimize(path.data());
    }
}
BENCHMARK(PathStdString)->Arg(ReadBuffer)->Arg(64);

} // namespace

BENCHMARK_MAIN();
