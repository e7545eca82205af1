// Delta engine throughput: diff and patch over large values, against memcmp
// and memcpy of the same sizes in the same run.
//
//   build with -DKORVALENT_BENCH=ON, then: core_bench --benchmark_filter=Delta
//
// bytes_per_second counts the new value's bytes for diff and patch, and the
// buffer size for memcmp and memcpy; delta_ratio is the delta's size over the
// new value's size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/buf.h"
#include "core/delta.h"
#include "core/owner.h"

namespace {

using Bytes = std::string;

constexpr size_t kMegabyte = 1 << 20;
constexpr size_t kDocumentSize = 100 * 1024;
constexpr size_t kBlockSize = 4096;
constexpr size_t kDenseStride = 64;
constexpr uint64_t kSeed = 0x6b6f7276;

using BufPtr = kv_owner<buf_s, buf_free>;

buf_s view(const Bytes &b)
{
    buf_s v{};
    v.data = reinterpret_cast<uint8_t *>(const_cast<char *>(b.data()));
    v.length = b.size();
    return v;
}

Bytes random_bytes(std::mt19937_64 &rng, size_t length)
{
    Bytes out(length, '\0');
    for (char &c : out) {
        c = static_cast<char>(rng());
    }
    return out;
}

/* `edits` small replacements, inserts and deletes of 1 to 8 bytes. */
Bytes with_small_edits(std::mt19937_64 &rng, Bytes value, int edits)
{
    for (int e = 0; e < edits; ++e) {
        const size_t at = rng() % value.size();
        const size_t span = 1 + rng() % 8;
        switch (rng() % 3) {
        case 0:
            value.replace(at, span, random_bytes(rng, span));
            break;
        case 1:
            value.insert(at, random_bytes(rng, span));
            break;
        default:
            value.erase(at, span);
            break;
        }
    }
    return value;
}

/* A text document of numbered lines of words, about `size` bytes. */
Bytes text_document(std::mt19937_64 &rng, size_t size)
{
    static const char *const kWords[] = {
        "delta",  "value",  "record", "field", "version", "update", "the",  "of",    "and", "a",
        "client", "server", "index",  "name",  "state",   "time",   "list", "entry", "sync"};
    Bytes doc;
    for (int line = 0; doc.size() < size; ++line) {
        doc += std::to_string(line) + ":";
        for (uint64_t words = 4 + rng() % 10; words > 0; --words) {
            doc += ' ';
            doc += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
        }
        doc += '\n';
    }
    return doc;
}

/* The next version: a few lines rewritten, inserted and removed. */
Bytes next_version(std::mt19937_64 &rng, const Bytes &doc)
{
    std::vector<Bytes> lines;
    for (size_t start = 0; start < doc.size();) {
        const size_t end = doc.find('\n', start);
        lines.push_back(doc.substr(start, end - start + 1));
        start = end + 1;
    }
    for (int e = 0; e < 20; ++e) {
        const size_t at = rng() % lines.size();
        switch (e % 3) {
        case 0:
            lines[at] = "edited line " + std::to_string(rng() % 100000) + "\n";
            break;
        case 1:
            lines.insert(lines.begin() + static_cast<long>(at),
                         "new line " + std::to_string(e) + "\n");
            break;
        default:
            lines.erase(lines.begin() + static_cast<long>(at));
            break;
        }
    }
    Bytes out;
    for (const Bytes &line : lines) {
        out += line;
    }
    return out;
}

struct Pair {
    Bytes old_value;
    Bytes new_value;
    Bytes delta;
};

/* Every case, built once and shared by the diff and patch benchmarks. */
const std::map<std::string, Pair> &cases()
{
    static const std::map<std::string, Pair> all = [] {
        std::mt19937_64 rng(kSeed);
        std::map<std::string, Pair> m;
        const Bytes base = random_bytes(rng, kMegabyte);
        m["1MB_1_edit"] = {base, with_small_edits(rng, base, 1), {}};
        m["1MB_10_edits"] = {base, with_small_edits(rng, base, 10), {}};
        m["1MB_100_edits"] = {base, with_small_edits(rng, base, 100), {}};
        m["1MB_unrelated"] = {base, random_bytes(rng, kMegabyte), {}};
        Bytes dense = base;
        for (size_t i = 0; i < dense.size(); i += kDenseStride) {
            dense[i] = static_cast<char>(~dense[i]);
        }
        m["1MB_dense_edits"] = {base, dense, {}};
        Bytes inserted = base;
        inserted.insert(kMegabyte / 2, random_bytes(rng, kBlockSize));
        m["1MB_block_insert"] = {base, inserted, {}};
        Bytes deleted = base;
        deleted.erase(kMegabyte / 3, kBlockSize);
        m["1MB_block_delete"] = {base, deleted, {}};
        const Bytes doc = text_document(rng, kDocumentSize);
        m["100KB_text_versions"] = {doc, next_version(rng, doc), {}};
        for (auto &entry : m) {
            Pair &p = entry.second;
            const buf_s o = view(p.old_value);
            const buf_s n = view(p.new_value);
            BufPtr delta(diff_generate_binary(&o, &n));
            if (!delta) {
                std::abort();
            }
            p.delta.assign(reinterpret_cast<const char *>(delta->data), delta->length);
        }
        return m;
    }();
    return all;
}

void set_counters(benchmark::State &state, const Pair &p)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(p.new_value.size()));
    state.counters["delta_ratio"] =
        static_cast<double>(p.delta.size()) / static_cast<double>(p.new_value.size());
    state.counters["delta_bytes"] = static_cast<double>(p.delta.size());
}

void BM_DeltaDiff(benchmark::State &state, const std::string &name)
{
    const Pair &p = cases().at(name);
    const buf_s o = view(p.old_value);
    const buf_s n = view(p.new_value);
    for (auto _ : state) {
        BufPtr delta(diff_generate_binary(&o, &n));
        benchmark::DoNotOptimize(delta.get());
    }
    set_counters(state, p);
}

void BM_DeltaPatch(benchmark::State &state, const std::string &name)
{
    const Pair &p = cases().at(name);
    const buf_s o = view(p.old_value);
    const buf_s d = view(p.delta);
    for (auto _ : state) {
        BufPtr value(diff_apply_binary(&o, &d));
        benchmark::DoNotOptimize(value.get());
    }
    set_counters(state, p);
}

/* The floor for diffing nearly equal values: every byte compared once. */
void BM_DeltaBaselineMemcmp(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::mt19937_64 rng(kSeed);
    const Bytes a = random_bytes(rng, size);
    const Bytes b = a;
    for (auto _ : state) {
        int r = std::memcmp(a.data(), b.data(), size);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

/* The floor for patching with copies: every byte copied once. */
void BM_DeltaBaselineMemcpy(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::mt19937_64 rng(kSeed);
    const Bytes a = random_bytes(rng, size);
    Bytes b(size, '\0');
    for (auto _ : state) {
        std::memcpy(&b[0], a.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

/* A fresh result block each time, as patch must return one. */
void BM_DeltaBaselineMallocMemcpy(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::mt19937_64 rng(kSeed);
    const Bytes a = random_bytes(rng, size);
    for (auto _ : state) {
        void *b = std::malloc(size);
        std::memcpy(b, a.data(), size);
        benchmark::DoNotOptimize(b);
        std::free(b);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

const char *const kCaseNames[] = {"1MB_1_edit",       "1MB_10_edits",       "1MB_100_edits",
                                  "1MB_unrelated",    "1MB_dense_edits",    "1MB_block_insert",
                                  "1MB_block_delete", "100KB_text_versions"};

const bool kRegistered = [] {
    for (const char *name : kCaseNames) {
        benchmark::RegisterBenchmark((std::string("BM_DeltaDiff/") + name).c_str(), BM_DeltaDiff,
                                     std::string(name))
            ->Unit(benchmark::kMicrosecond);
    }
    for (const char *name : kCaseNames) {
        benchmark::RegisterBenchmark((std::string("BM_DeltaPatch/") + name).c_str(), BM_DeltaPatch,
                                     std::string(name))
            ->Unit(benchmark::kMicrosecond);
    }
    for (const int64_t size : {int64_t{kDocumentSize}, int64_t{kMegabyte}}) {
        benchmark::RegisterBenchmark("BM_DeltaBaselineMemcmp", BM_DeltaBaselineMemcmp)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_DeltaBaselineMemcpy", BM_DeltaBaselineMemcpy)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_DeltaBaselineMallocMemcpy", BM_DeltaBaselineMallocMemcpy)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

} // namespace
BENCHMARK_MAIN();
