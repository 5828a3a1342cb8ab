// Wall-clock times of the operations that cvbench counts, with Google
// Benchmark:
//
//   cvbench_wall BUILD_DIR [--benchmark_...]
//
// The device is set up once; every benchmark repeats its operation on it.
// Times on a shared machine are noisy: the instruction counts are the
// measure, these only show the order of magnitude.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "benchops.h"

static std::string build_dir;

static void page_bench(benchmark::State& state, const std::string& stream) {
    for (auto _ : state) {
        state.PauseTiming();
        bo_page_prepare(stream);
        state.ResumeTiming();
        bo_page_draw();
    }
}

static void fill_bench(benchmark::State& state) {
    for (auto _ : state) bo_fill_screen();
}

static void glyph_bench(benchmark::State& state) {
    GlyphRun run = bo_glyph_run();
    for (auto _ : state) bo_glyph_draw(run);
    state.SetItemsProcessed((int64_t)(state.iterations() * run.glyphs));
}

static void lz_bench(benchmark::State& state) {
    LzSet set = bo_lz_set(build_dir);
    for (auto _ : state) benchmark::DoNotOptimize(bo_lz_expand_all(set));
    state.SetBytesProcessed((int64_t)(state.iterations() * set.total_out));
}

static void inflate_bench(benchmark::State& state) {
    LzSet set = bo_lz_set(build_dir);
    for (auto _ : state) benchmark::DoNotOptimize(bo_inflate_all(set));
    state.SetBytesProcessed((int64_t)(state.iterations() * set.total_out));
}

static void font_bench(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        bo_font_unload();
        state.ResumeTiming();
        benchmark::DoNotOptimize(bo_font_load());
    }
}

static void scanner_bench(benchmark::State& state) {
    ScanSet set = bo_scan_set(build_dir);
    for (auto _ : state) bo_scan_all(set);
    state.SetBytesProcessed((int64_t)(state.iterations() * set.bytes));
}

static void xtea_bench(benchmark::State& state) {
    std::vector<uint8_t> buf(64 * 1024, 0x5a);
    for (auto _ : state) bo_xtea(buf);
    state.SetBytesProcessed((int64_t)(state.iterations() * buf.size() * 2));
}

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: cvbench_wall BUILD_DIR [--benchmark_...]\n");
        return 2;
    }
    build_dir = argv[1];
    argv[1] = argv[0];
    argc--;
    argv++;
    if (bo_device_open(build_dir) != 0) return 1;
    for (const std::string& name : bo_page_names())
        benchmark::RegisterBenchmark(("page:" + name).c_str(), page_bench, bo_shipped_page(build_dir, name));
    benchmark::RegisterBenchmark("textpage", page_bench, bo_text_page());
    benchmark::RegisterBenchmark("fill", fill_bench);
    benchmark::RegisterBenchmark("glyphs", glyph_bench);
    benchmark::RegisterBenchmark("lz_expand", lz_bench);
    benchmark::RegisterBenchmark("inflate", inflate_bench);
    benchmark::RegisterBenchmark("fontload", font_bench);
    benchmark::RegisterBenchmark("scanner", scanner_bench);
    benchmark::RegisterBenchmark("xtea", xtea_bench);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bo_device_close();
    return 0;
}
