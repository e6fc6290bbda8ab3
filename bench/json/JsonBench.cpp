// Benchmark of a realistic users document (1,000 users, three 1,600-character templates each,
// about 5 MB of UTF-8): text -> document -> compact text, for our JSON subsystem, RapidJSON and
// nlohmann/json on the same bytes; prints the three throughputs side by side.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "json/JsonDocument.h"
#include "json/JsonUtf8.h"

namespace {

using vantorix::TJsonNode;
using vantorix::TJsonObject;

// Deterministic pseudo-random text, so every run measures the same bytes.
std::u16string Base64Text(std::uint32_t& state, std::size_t length) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::u16string text(length, u'A');
  for (char16_t& c : text) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char16_t>(kAlphabet[(state >> 24) & 63]);
  }
  return text;
}

const std::string& UsersDocument() {
  static const std::string bytes = [] {
    TJsonObject doc;
    std::uint32_t state = 12345;
    for (int i = 0; i < 1000; ++i) {
      TJsonObject* user = doc.GetArray(u"users")->AddObject();
      const std::u16string number = vantorix::JsonUtf8Decode(std::to_string(1000 + i));
      user->SetString(u"enrollNumber", number);
      user->SetBool(u"enabled", i % 7 != 0);
      user->SetString(u"name", u"Employee \u00e9" + number);
      user->SetString(u"cardNumber", vantorix::JsonUtf8Decode(std::to_string(4000000 + i * 37)));
      user->SetString(u"password", i % 3 == 0 ? u"" : u"1234");
      user->SetInt(u"privilege", i % 4 == 0 ? 3 : 0);
      for (int finger : {0, 5, 6}) {
        TJsonObject* tpl = user->GetArray(u"fpTemplates")->AddObject();
        tpl->SetInt(u"fingerIndex", finger);
        tpl->SetInt(u"flag", 1);
        tpl->SetString(u"templateData", Base64Text(state, 1600));
      }
      user->SetInt(u"fpCount", 3);
    }
    return vantorix::JsonUtf8Encode(doc.ToJSON(true));
  }();
  return bytes;
}

void BM_Vantorix_ParseWrite(benchmark::State& state) {
  const std::string& input = UsersDocument();
  for (auto _ : state) {
    const std::u16string text = vantorix::JsonUtf8Decode(input);
    const auto root = TJsonNode::Parse(text);
    std::string out = vantorix::JsonUtf8Encode(root->ToJSON(true));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}
BENCHMARK(BM_Vantorix_ParseWrite)->Unit(benchmark::kMillisecond);

void BM_Vantorix_Parse(benchmark::State& state) {
  const std::string& input = UsersDocument();
  for (auto _ : state) {
    const std::u16string text = vantorix::JsonUtf8Decode(input);
    auto root = TJsonNode::Parse(text);
    benchmark::DoNotOptimize(root.get());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}
BENCHMARK(BM_Vantorix_Parse)->Unit(benchmark::kMillisecond);

void BM_Vantorix_Write(benchmark::State& state) {
  const std::string& input = UsersDocument();
  const auto root = TJsonNode::Parse(vantorix::JsonUtf8Decode(input));
  for (auto _ : state) {
    std::string out = vantorix::JsonUtf8Encode(root->ToJSON(true));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}
BENCHMARK(BM_Vantorix_Write)->Unit(benchmark::kMillisecond);

void BM_RapidJSON_ParseWrite(benchmark::State& state) {
  const std::string& input = UsersDocument();
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse(input.data(), input.size());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}
BENCHMARK(BM_RapidJSON_ParseWrite)->Unit(benchmark::kMillisecond);

void BM_Nlohmann_ParseWrite(benchmark::State& state) {
  const std::string& input = UsersDocument();
  for (auto _ : state) {
    const nlohmann::json doc = nlohmann::json::parse(input);
    std::string out = doc.dump();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}
BENCHMARK(BM_Nlohmann_ParseWrite)->Unit(benchmark::kMillisecond);

// Keeps each run's throughput for the side-by-side summary.
class TSummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // Single runs, or the median of repeated ones (reported after them).
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
        continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) {
        FMBps[run.run_name.function_name] = it->second.value / 1e6;
      }
    }
  }
  double MBps(const std::string& name) const {
    const auto it = FMBps.find(name);
    return it == FMBps.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> FMBps;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The three libraries must agree on the document before their speed means anything.
  const std::string& input = UsersDocument();
  rapidjson::Document check;
  check.Parse(input.data(), input.size());
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  check.Accept(writer);
  const std::string ours =
      vantorix::JsonUtf8Encode(TJsonNode::Parse(vantorix::JsonUtf8Decode(input))->ToJSON(true));
  if (ours != input || buffer.GetString() != input) {
    std::fprintf(stderr, "the compact forms differ from the input\n");
    return 1;
  }
  std::printf("users document: %zu bytes of UTF-8\n", input.size());

  TSummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double vantorix = reporter.MBps("BM_Vantorix_ParseWrite");
  const double rapid = reporter.MBps("BM_RapidJSON_ParseWrite");
  const double nlohmann = reporter.MBps("BM_Nlohmann_ParseWrite");
  if (vantorix > 0 && rapid > 0 && nlohmann > 0) {
    std::printf("\nUTF-8 text -> document -> compact UTF-8 text, MB/s (1 MB = 10^6 bytes)\n");
    std::printf("  %-14s %8.1f\n  %-14s %8.1f  (ours / RapidJSON = %.2f)\n", "vantorix", vantorix,
                "RapidJSON", rapid, vantorix / rapid);
    std::printf("  %-14s %8.1f  (ours / nlohmann = %.2f)\n", "nlohmann/json", nlohmann,
                vantorix / nlohmann);
  }
  benchmark::Shutdown();
  return 0;
}
