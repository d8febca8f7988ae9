// Logging benchmarks, each printed with its target:
//  - a log call for a disabled category: at most 20 ns (the caller's check, no formatting);
//  - an enabled call returns to its caller in at most 2 µs (the file is written on the writer
//    queue, not by the caller);
//  - sustained writing: at least 200,000 lines per second reach the file.
// The log goes to a temporary folder (HOME and XDG_* are pointed there before the first call).
#include "diagnostics/XErrorHandler.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

int gSideEffect = 0;

int Expensive() { return ++gSideEffect; }

void BM_DisabledCategory(benchmark::State& state) {
  for (auto _ : state) XLOG("Verbose", "key %d pressed", Expensive());
  if (gSideEffect != 0) state.SkipWithError("a disabled category evaluated its arguments");
}
BENCHMARK(BM_DisabledCategory);

void BM_EnabledCall(benchmark::State& state) {
  std::int64_t i = 0;
  // Distinct messages, so that every call writes a line instead of counting a repeat.
  for (auto _ : state) XLOG("display", "Stream Deck key %lld pressed on context %s", ++i, "A1B2C3D4E5F6");
}
BENCHMARK(BM_EnabledCall)->UseRealTime();

constexpr int kSustainedLines = 500'000;

// Last: it ends with Quitting(), after which every call waits for the disk.
void BM_SustainedWriting(benchmark::State& state) {
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSustainedLines; ++i) XLOG("display", "sustained line %d of the benchmark", i);
    XErrorHandler::Quitting(); // returns when every line is in the file
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    state.counters["lines_per_second"] = kSustainedLines / elapsed.count();
  }
}
BENCHMARK(BM_SustainedWriting)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

/// The console report, plus the figures kept for the summary against the targets.
class TargetReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.benchmark_name();
      std::string key = name.substr(0, name.find('/'));
      nanoseconds[key] = run.GetAdjustedRealTime() * TimeUnitMultiplierToNs(run.time_unit);
      cpuNanoseconds[key] = run.GetAdjustedCPUTime() * TimeUnitMultiplierToNs(run.time_unit);
      auto rate = run.counters.find("lines_per_second");
      if (rate != run.counters.end()) linesPerSecond = rate->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  static double TimeUnitMultiplierToNs(benchmark::TimeUnit unit) {
    switch (unit) {
    case benchmark::kSecond:
      return 1e9;
    case benchmark::kMillisecond:
      return 1e6;
    case benchmark::kMicrosecond:
      return 1e3;
    case benchmark::kNanosecond:
      return 1;
    }
    return 1;
  }

  explicit TargetReporter(bool color) : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}

  std::map<std::string, double> nanoseconds;    // wall-clock time per call
  std::map<std::string, double> cpuNanoseconds; // the calling thread's CPU time per call
  double linesPerSecond = 0;
};

bool Check(const char* what, double figure, const char* unit, const char* comparison, double target, bool met,
           double cpu = -1) {
  std::printf("%-40s %12.1f %-8s target %s %.0f %s  %s", what, figure, unit, comparison, target, unit,
              met ? "MET" : "MISSED");
  if (cpu >= 0) std::printf("   (CPU time %.1f %s)", cpu, unit);
  std::printf("\n");
  return met;
}

} // namespace

int main(int argc, char** argv) {
  platform::SetLogSink(&XErrorHandler::LogSink()); // as the program's main does
  std::string pattern = (std::filesystem::temp_directory_path() / "zb-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::string home = pattern;
  ::setenv("HOME", home.c_str(), 1);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
    ::unsetenv(variable);

  benchmark::Initialize(&argc, argv);
  TargetReporter reporter(::isatty(STDOUT_FILENO) != 0);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  // Figures are wall-clock time: on a loaded machine they include time the thread spent
  // waiting for a core, which the CPU time beside them does not.
  double load = 0;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0;
    std::fclose(f);
  }
  std::printf("\nLogging figures against their targets (wall-clock; load average %.2f on %u cores):\n", load,
              std::thread::hardware_concurrency());
  bool met = true;
  if (reporter.nanoseconds.count("BM_DisabledCategory"))
    met &= Check("log call, disabled category", reporter.nanoseconds["BM_DisabledCategory"], "ns", "<=", 20,
                 reporter.nanoseconds["BM_DisabledCategory"] <= 20,
                 reporter.cpuNanoseconds["BM_DisabledCategory"]);
  if (reporter.nanoseconds.count("BM_EnabledCall"))
    met &= Check("log call, enabled (returns to caller)", reporter.nanoseconds["BM_EnabledCall"], "ns",
                 "<=", 2000, reporter.nanoseconds["BM_EnabledCall"] <= 2000,
                 reporter.cpuNanoseconds["BM_EnabledCall"]);
  if (reporter.linesPerSecond > 0)
    met &= Check("sustained writing to the file", reporter.linesPerSecond, "lines/s", ">=", 200000,
                 reporter.linesPerSecond >= 200000);

  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return met ? 0 : 1;
}
