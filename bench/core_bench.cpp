// Google Benchmark cases for the core's hot paths.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BUILD_BENCH=ON
//   ninja -C build/bench && build/bench/bench/quorvane_core_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/vs.hpp>
#include <quorvane/wrapper.hpp>
#include <string>
#include <vector>

namespace {

using namespace quorvane;
using hardbinding::Algorithm;
using hardbinding::provided::BuiltinCrypto;
using hardbinding::provided::UnicodeNfc;

std::vector<std::uint8_t> payload(std::size_t n) {
  std::vector<std::uint8_t> p(n);
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return p;
}

std::string repeat(std::string_view unit, std::size_t bytes) {
  std::string s;
  s.reserve(bytes + unit.size());
  while (s.size() < bytes) s.append(unit);
  return s;
}

std::string signed_text(std::string_view unit, std::size_t bytes) {
  return repeat(unit, bytes) + *wrapper::encode(payload(1024));
}

void BM_Encode(benchmark::State& state) {
  const auto p = payload(static_cast<std::size_t>(state.range(0)));
  std::size_t out = 0;
  for (auto _ : state) {
    auto text = wrapper::encode(p);
    out = text->size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out));
}
BENCHMARK(BM_Encode)->Arg(0)->Arg(1 << 10)->Arg(1 << 20)->Arg(16 << 20);

void BM_EncodeCodePoints(benchmark::State& state) {
  const auto p = payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(wrapper::encode_code_points(p));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(0)));
}
BENCHMARK(BM_EncodeCodePoints)->Arg(0)->Arg(1 << 10)->Arg(1 << 20)->Arg(16 << 20);

void BM_EncodePadded(benchmark::State& state) {
  const auto p = payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(wrapper::encode_padded(p));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(0)));
}
BENCHMARK(BM_EncodePadded)->Arg(1 << 10)->Arg(1 << 20);

void BM_DecodeRun(benchmark::State& state) {
  const std::string w = *wrapper::encode(payload(static_cast<std::size_t>(state.range(0))));
  const std::string_view run = std::string_view(w).substr(3);
  for (auto _ : state) benchmark::DoNotOptimize(vs::decode_run(run));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * run.size()));
}
BENCHMARK(BM_DecodeRun)->Arg(64)->Arg(1 << 20);

void BM_LocateAll(benchmark::State& state, std::string_view unit) {
  const std::string text = signed_text(unit, 64 << 20);
  for (auto _ : state) benchmark::DoNotOptimize(wrapper::locate_all(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_LocateAll, ascii, "The quick brown fox jumps over the lazy dog. ")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LocateAll, dense_markers,
                  "ab\xEF\xBB\xBF"
                  "c\xEF\xB8\x8F\xF3\xA0\x84\x80")
    ->Unit(benchmark::kMillisecond);

void BM_Extract(benchmark::State& state) {
  const std::string text = signed_text("A short caption. ", 16);
  for (auto _ : state) benchmark::DoNotOptimize(wrapper::extract(text));
}
BENCHMARK(BM_Extract);

void BM_Digest(benchmark::State& state, Algorithm alg) {
  const auto data = payload(static_cast<std::size_t>(state.range(0)));
  const BuiltinCrypto crypto;
  for (auto _ : state) benchmark::DoNotOptimize(crypto.digest(alg, data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(0)));
}
BENCHMARK_CAPTURE(BM_Digest, sha256, Algorithm::Sha256)->Arg(64)->Arg(64 << 20);
BENCHMARK_CAPTURE(BM_Digest, sha512, Algorithm::Sha512)->Arg(64)->Arg(64 << 20);

void BM_Normalize(benchmark::State& state, std::string_view unit) {
  const std::string text = repeat(unit, 16 << 20);
  const UnicodeNfc nfc;
  for (auto _ : state) benchmark::DoNotOptimize(nfc.normalize(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_Normalize, ascii, "The quick brown fox jumps over the lazy dog. ")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Normalize, latin_nfc,
                  "Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9\x65, fa\xC3\xA7\x61\x64\x65. ")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Normalize, latin_nfd,
                  "Cre\xCC\x80me bru\xCC\x82le\xCC\x81\x65, fac\xCC\xA7\x61\x64\x65. ")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Normalize, cjk, "\xE5\x87\xBA\xE8\x87\xAA\xE3\x81\xAF\xE8\xA8\x80\xE8\x91\x89")
    ->Unit(benchmark::kMillisecond);

void BM_IsNormalized(benchmark::State& state, std::string_view unit) {
  const std::string text = repeat(unit, 16 << 20);
  const UnicodeNfc nfc;
  for (auto _ : state) benchmark::DoNotOptimize(nfc.is_normalized(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_IsNormalized, ascii, "The quick brown fox jumps over the lazy dog. ")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IsNormalized, cjk,
                  "\xE5\x87\xBA\xE8\x87\xAA\xE3\x81\xAF\xE8\xA8\x80\xE8\x91\x89")
    ->Unit(benchmark::kMillisecond);

void BM_ComputeDataHash(benchmark::State& state, std::string_view unit) {
  const std::string text = signed_text(unit, 64 << 20);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        hardbinding::compute_data_hash(text, Algorithm::Sha256, BuiltinCrypto{}, UnicodeNfc{}));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_ComputeDataHash, ascii, "The quick brown fox jumps over the lazy dog. ")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ComputeDataHash, latin_nfd,
                  "Cre\xCC\x80me bru\xCC\x82le\xCC\x81\x65, fac\xCC\xA7\x61\x64\x65. ")
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
