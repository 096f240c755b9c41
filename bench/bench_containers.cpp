// Cost per item of the pointer array and per byte of the byte buffer.
#include <bwvutil/dbuf.h>
#include <bwvutil/parray.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// Linear growth by 16 slots: the cost per add rises with the array's size.
void BM_ParrayAdd(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    static int item;
    for (auto _ : state) {
        parray *a = parray_create(0);
        for (int i = 0; i < n; ++i) parray_add(a, &item);
        benchmark::DoNotOptimize(a->items);
        parray_destroy(a);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ParrayAdd)->Arg(64)->Arg(1000)->Arg(10000)->Arg(100000);

// A first-in first-out stream: the reader lags half a chunk behind the writer, so every
// write first moves the unread backlog to the front, as when a child's output is
// collected and consumed in pieces.
void BM_DbufStream(benchmark::State &state) {
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::vector<unsigned char> in(chunk, 'x'), out(chunk);
    for (auto _ : state) {
        dbuf *b = dbuf_create();
        dbuf_write(b, in.data(), chunk / 2 + 1);
        for (int i = 0; i < 1000; ++i) {
            dbuf_write(b, in.data(), chunk);
            dbuf_read(b, out.data(), chunk);
        }
        dbuf_read(b, nullptr, dbuf_len(b));
        dbuf_destroy(b);
    }
    state.SetBytesProcessed(state.iterations() * 1000 * chunk);
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_DbufStream)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
