// The Stream Deck link's JSON reader and writer (SDJSON) beside Boost.JSON and simdjson, on the
// messages the link handles: a keyDown, a small willAppear and a willAppear carrying a 1 MiB
// "data:image" setting. Per message: parse the text into the library's document, write the
// document compactly, write it pretty-printed (two-space indent). Neither library's Debian 12
// version has a pretty writer, so theirs is a short indenting walk over their document that
// leaves every scalar (string escaping included) to the library's own writer.
//
// Every case runs in repeated, randomly interleaved rounds; the table at the end shows each
// case's median CPU time per operation with its spread (min-max) and the ratio of medians to
// ours (above 1: slower).
//   zb_bench_json                          15 interleaved repetitions (the default)
//   zb_bench_json --benchmark_repetitions=30

#include "streamdeck/SDJSON.hpp"

#include <benchmark/benchmark.h>
#include <boost/json.hpp>
#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Message {
  const char* name;
  std::string text;
};

std::vector<Message> Messages() {
  const std::string keyDown =
      R"({"action":"com.zorbel.streamdeck.key","context":"CTX0123456789","device":"DEV0123456789",)"
      R"("event":"keyDown","payload":{"coordinates":{"column":3,"row":1},"isInMultiAction":false,)"
      R"("settings":{"zbRow":"2"},"state":0}})";
  const std::string willAppear =
      R"({"event":"willAppear","action":"com.zorbel.key","context":"CTX0123456789","device":"DEV",)"
      R"("payload":{"coordinates":{"row":1,"column":3},"settings":{"zbRow":"2"}}})";
  nlohmann::json big = {
      {"event", "willAppear"},
      {"action", "com.zorbel.streamdeck.key"},
      {"context", "CTX0123456789"},
      {"device", "DEV"},
      {"payload",
       {{"coordinates", {{"row", 0}, {"column", 0}}},
        {"settings", {{"image", "data:image/png;base64," + std::string(1 << 20, 'A')}, {"title", "T"}}}}}};
  return {{"keyDown", keyDown}, {"willAppear", willAppear}, {"willAppear 1 MiB", big.dump()}};
}

// ---- pretty writers over the libraries' documents ----------------------------------------------

void Indent(std::string& out, int depth) {
  out += '\n';
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void PrettyBoost(const boost::json::value& v, std::string& out, int depth) {
  if (const auto* object = v.if_object()) {
    if (object->empty()) return void(out += "{}");
    out += '{';
    bool first = true;
    for (const auto& member : *object) {
      if (!first) out += ',';
      first = false;
      Indent(out, depth + 1);
      out += boost::json::serialize(member.key());
      out += ": ";
      PrettyBoost(member.value(), out, depth + 1);
    }
    Indent(out, depth);
    out += '}';
  } else if (const auto* array = v.if_array()) {
    if (array->empty()) return void(out += "[]");
    out += '[';
    bool first = true;
    for (const auto& element : *array) {
      if (!first) out += ',';
      first = false;
      Indent(out, depth + 1);
      PrettyBoost(element, out, depth + 1);
    }
    Indent(out, depth);
    out += ']';
  } else {
    out += boost::json::serialize(v);
  }
}

// simdjson hands keys unescaped and has no public string escaper; the link's keys are plain
// ASCII, so quotes, backslashes and control characters are all there is to escape.
void AppendKey(std::string& out, std::string_view key) {
  out += '"';
  for (char c : key) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void PrettySimdjson(simdjson::dom::element e, std::string& out, int depth) {
  if (e.is_object()) {
    simdjson::dom::object object = e.get_object().value_unsafe();
    if (object.size() == 0) return void(out += "{}");
    out += '{';
    bool first = true;
    for (auto field : object) {
      if (!first) out += ',';
      first = false;
      Indent(out, depth + 1);
      AppendKey(out, field.key);
      out += ": ";
      PrettySimdjson(field.value, out, depth + 1);
    }
    Indent(out, depth);
    out += '}';
  } else if (e.is_array()) {
    simdjson::dom::array array = e.get_array().value_unsafe();
    if (array.size() == 0) return void(out += "[]");
    out += '[';
    bool first = true;
    for (auto element : array) {
      if (!first) out += ',';
      first = false;
      Indent(out, depth + 1);
      PrettySimdjson(element, out, depth + 1);
    }
    Indent(out, depth);
    out += ']';
  } else {
    out += simdjson::minify(e);
  }
}

} // namespace

namespace {

enum class Operation { Parse, Compact, Pretty };
constexpr const char* kOperationNames[] = {"parse", "compact write", "pretty write"};
constexpr const char* kLibraries[] = {"SDJSON (ours)", "Boost.JSON", "simdjson"};

void Ours(benchmark::State& state, const std::string& text, Operation operation) {
  const nlohmann::json document = *SDJSONParse(text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    if (operation == Operation::Parse) {
      auto value = SDJSONParse(text);
      if (!value) return state.SkipWithError("ours refused the message");
      benchmark::DoNotOptimize(value);
    } else {
      auto written = SDJSONSerialize(document, operation == Operation::Pretty);
      bytes += written->size();
      benchmark::DoNotOptimize(written);
    }
  }
  benchmark::DoNotOptimize(bytes);
}

void Boost(benchmark::State& state, const std::string& text, Operation operation) {
  const boost::json::value document = boost::json::parse(text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    if (operation == Operation::Parse) {
      boost::system::error_code error;
      auto value = boost::json::parse(text, error);
      if (error) return state.SkipWithError("Boost.JSON refused the message");
      benchmark::DoNotOptimize(value);
    } else if (operation == Operation::Compact) {
      std::string written = boost::json::serialize(document);
      bytes += written.size();
      benchmark::DoNotOptimize(written);
    } else {
      std::string written;
      PrettyBoost(document, written, 0);
      bytes += written.size();
      benchmark::DoNotOptimize(written);
    }
  }
  benchmark::DoNotOptimize(bytes);
}

// One parser per case, reused across iterations as simdjson intends; the text is not padded
// (a received message is not), so simdjson copies it into its padded buffer on every parse.
void Simdjson(benchmark::State& state, const std::string& text, Operation operation) {
  simdjson::dom::parser parser;
  simdjson::dom::parser documentParser;
  simdjson::dom::element document;
  if (documentParser.parse(text.data(), text.size()).get(document)) return state.SkipWithError("no document");
  std::size_t bytes = 0;
  for (auto _ : state) {
    if (operation == Operation::Parse) {
      simdjson::dom::element value;
      if (parser.parse(text.data(), text.size()).get(value))
        return state.SkipWithError("simdjson refused the message");
      benchmark::DoNotOptimize(value);
    } else if (operation == Operation::Compact) {
      std::string written = simdjson::minify(document);
      bytes += written.size();
      benchmark::DoNotOptimize(written);
    } else {
      std::string written;
      PrettySimdjson(document, written, 0);
      bytes += written.size();
      benchmark::DoNotOptimize(written);
    }
  }
  benchmark::DoNotOptimize(bytes);
}

/// Collects each case's median, min and max; prints the side-by-side table at the end.
class TableReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Aggregate) continue;
      _repetitions = run.repetitions;
      auto& figures = _figures[run.run_name.str()];
      // CPU time: the cases are single-threaded and do no I/O, and on a shared machine the
      // wall clock also counts the time the process waited for a core.
      double micros = run.GetAdjustedCPUTime() * (run.time_unit == benchmark::kMicrosecond ? 1.0 : 1e-3);
      if (run.aggregate_name == "median") figures.median = micros;
      if (run.aggregate_name == "min") figures.min = micros;
      if (run.aggregate_name == "max") figures.max = micros;
    }
  }

  void PrintTable(const std::vector<Message>& messages) const {
    std::fflush(stdout);
    std::printf("\n| Message | Operation |");
    for (const char* library : kLibraries) std::printf(" %s |", library);
    std::printf(" Boost.JSON / ours | simdjson / ours |\n|---|---|---:|---:|---:|---:|---:|\n");
    for (const auto& message : messages) {
      for (int op = 0; op < 3; ++op) {
        std::printf("| %s | %s |", message.name, kOperationNames[op]);
        std::vector<double> medians;
        for (const char* library : kLibraries) {
          auto found = _figures.find(Name(op, message, library));
          if (found == _figures.end() || found->second.median <= 0) {
            std::printf(" — |");
            medians.push_back(0);
            continue;
          }
          const auto& f = found->second;
          std::printf(" %s (%s–%s) |", Format(f.median).c_str(), Format(f.min).c_str(),
                      Format(f.max).c_str());
          medians.push_back(f.median);
        }
        for (int other = 1; other < 3; ++other) {
          if (medians[0] > 0 && medians[static_cast<std::size_t>(other)] > 0)
            std::printf(" %.2f× |", medians[static_cast<std::size_t>(other)] / medians[0]);
          else
            std::printf(" — |");
        }
        std::printf("\n");
      }
    }
    std::printf("\nMedian (min–max) of %d interleaved repetitions per case, CPU µs per operation; ratio "
                "of medians above 1 means slower than ours.\n",
                static_cast<int>(_repetitions));
  }

  static std::string Name(int op, const Message& message, const char* library) {
    return std::string(kOperationNames[op]) + "/" + message.name + "/" + library;
  }

private:
  static std::string Format(double micros) {
    char text[32];
    std::snprintf(text, sizeof text, micros >= 100 ? "%.0f µs" : micros >= 1 ? "%.2f µs" : "%.3f µs", micros);
    return text;
  }
  struct Figures {
    double median = 0, min = 0, max = 0;
  };
  std::map<std::string, Figures> _figures;
  std::int64_t _repetitions = 0;
};

} // namespace

/// Every writer's output, read back by ours, is the message itself: the cases compare like work.
bool WritersAgree(const std::vector<Message>& messages) {
  for (const auto& message : messages) {
    const nlohmann::json expected = *SDJSONParse(message.text);
    const boost::json::value boostDocument = boost::json::parse(message.text);
    simdjson::dom::parser parser;
    simdjson::dom::element simdDocument = parser.parse(message.text.data(), message.text.size()).value();
    std::string boostPretty, simdPretty;
    PrettyBoost(boostDocument, boostPretty, 0);
    PrettySimdjson(simdDocument, simdPretty, 0);
    for (const std::string& written :
         {boost::json::serialize(boostDocument), boostPretty, simdjson::minify(simdDocument), simdPretty}) {
      if (SDJSONParse(written) != expected) {
        std::fprintf(stderr, "zb_bench_json: a writer changed the %s message\n", message.name);
        return false;
      }
    }
  }
  return true;
}

int main(int argc, char** argv) {
  const std::vector<Message> messages = Messages();
  if (!WritersAgree(messages)) return 1;
  for (const auto& message : messages) {
    for (int op = 0; op < 3; ++op) {
      auto operation = static_cast<Operation>(op);
      auto add = [&](const char* library, void (*run)(benchmark::State&, const std::string&, Operation)) {
        benchmark::RegisterBenchmark(
            TableReporter::Name(op, message, library).c_str(),
            [run, &message, operation](benchmark::State& state) { run(state, message.text, operation); })
            ->Unit(benchmark::kMicrosecond)
            ->ComputeStatistics(
                "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
            ->ComputeStatistics(
                "max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
      };
      add(kLibraries[0], Ours);
      add(kLibraries[1], Boost);
      add(kLibraries[2], Simdjson);
    }
  }
  // Defaults: interleaved repetitions, aggregates only; flags on the command line win.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=15",
              interleave = "--benchmark_enable_random_interleaving=true",
              aggregates = "--benchmark_report_aggregates_only=true", minTime = "--benchmark_min_time=0.05";
  args.insert(args.begin() + 1, {repetitions.data(), interleave.data(), aggregates.data(), minTime.data()});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable(messages);
  benchmark::Shutdown();
  return 0;
}
