// What the run measured on: the processor's vector units that the kernels
// choose between, and the kernel each conversion runs by default. They go
// into the benchmark's context (printed before the results and kept in the
// JSON output, where scripts/bench.sh shows them above its table), so a
// table of ratios always says which kernels its figures come from.
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>
#include <Tollan/src/file/Crc32.h>
#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string CpuFeatures() {
  std::string features;
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  const struct {
    const char* name;
    bool present;
  } units[] = {
      {"sse2", __builtin_cpu_supports("sse2") != 0},
      {"pclmul", __builtin_cpu_supports("pclmul") != 0},
      {"avx2", __builtin_cpu_supports("avx2") != 0},
      {"fma", __builtin_cpu_supports("fma") != 0},
      {"avx512f", __builtin_cpu_supports("avx512f") != 0},
      {"vpclmulqdq", __builtin_cpu_supports("vpclmulqdq") != 0},
  };
  for (const auto& unit : units) {
    features += std::string(features.empty() ? "" : " ") + unit.name + (unit.present ? "+" : "-");
  }
#else
  features = "not an x86-64 build: portable kernels only";
#endif
  return features;
}

// Runs before benchmark_main parses the command line and starts.
[[maybe_unused]] const bool kContextAdded = [] {
  benchmark::AddCustomContext("cpu_features", CpuFeatures());
  benchmark::AddCustomContext("translator_kernel", KrVTranslatorKernelName(KRV_TRANSLATOR_KERNEL_WIDEST));
  benchmark::AddCustomContext("crc32_kernel", tollan::recording::crc::Name(tollan::recording::crc::Best()));
  return true;
}();

}  // namespace
