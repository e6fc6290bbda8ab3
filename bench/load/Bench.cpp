// The comparison run: servers started once, scenarios alternated between them, medians printed
// as Markdown tables with our figure divided by each peer's.
#include "bench/load/Bench.h"

#include <sys/resource.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench/load/ServerProcess.h"
#include "bench/load/WsFrames.h"

namespace vantorix {

const char* const kBenchUsage =
    "usage: ws_load --server NAME=COMMAND... [--quick] [--repeat N] [--seconds S]\n"
    "               [--receivers N,N,...]\n"
    "  --server NAME=COMMAND  a server to measure; COMMAND (words split at spaces) starts it on\n"
    "                         port 0 and prints \"listening on ADDR:PORT\". The first is ours,\n"
    "                         the others are the peers it is divided by.\n"
    "  --quick                short runs, one repetition, broadcast curve 10, 100, 1000\n"
    "  --repeat N             each figure is the median of N runs (default 3)\n"
    "  --seconds S            length of each time-bounded scenario (default 2)\n"
    "  --receivers LIST       receivers of the broadcast curve (default 10,30,100,300,1000)\n"
    "  --only KEYS            run only these scenarios: seq,raw-ping,pipe,hs,idle,bcN,big,\n"
    "                         raw-16mb (bcN for each N of the curve)\n";

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// One run of one scenario on one server. Value is the scenario's figure; the others are what the
// scenario has of them.
struct TMeasure {
  double Value = kNone;
  double P50 = kNone;
  double P99 = kNone;
  double Extra1 = kNone;
  double Extra2 = kNone;
  double CpuUs = kNone;  // server CPU time per operation
  std::uint64_t Operations = 0;
};

TMeasure FromRate(const TRate& rate) {
  TMeasure m;
  m.Value = rate.PerSecond;
  m.Operations = rate.Operations;
  if (rate.P99Us > 0) {
    m.P50 = rate.P50Us;
    m.P99 = rate.P99Us;
  }
  return m;
}

// What a scenario runs on: the servers started for the whole run; a server started for this
// scenario alone (memory figures that must not depend on what ran before); or none, for the raw
// limits, which run once per repetition.
enum class TTarget { Server, FreshServer, Raw };

// A scenario: Run gets the server, or nullptr for the raw limits.
struct TScenario {
  std::string Key;
  TTarget Target = TTarget::Server;
  std::function<TMeasure(TServerProcess*)> Run;
};

std::vector<std::string> SplitWords(const std::string& text, char separator) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; std::getline(in, word, separator);) {
    if (!word.empty()) {
      words.push_back(word);
    }
  }
  return words;
}

std::string Grouped(double value) {
  const long long whole = std::llround(value);
  const std::string digits = std::to_string(whole < 0 ? -whole : whole);
  std::string text = whole < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      text.push_back(',');
    }
    text.push_back(digits[i]);
  }
  return text;
}

// Whole numbers with thousands separators from 100 on, else two significant places or so.
std::string Figure(double value) {
  if (std::isnan(value)) {
    return "failed";
  }
  char text[32];
  if (std::fabs(value) >= 100) {
    return Grouped(value);
  }
  std::snprintf(text, sizeof text, std::fabs(value) >= 10 ? "%.1f" : "%.2f", value);
  return text;
}

double Median(std::vector<double> values) {
  std::erase_if(values, [](double v) { return std::isnan(v); });
  return values.empty() ? kNone : Percentile(values, 50);
}

std::string FirstLineWith(const char* path, const std::string& prefix) {
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with(prefix)) {
      return line;
    }
  }
  return {};
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one;
  std::string five;
  std::string fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string MachineText() {
  std::string model = FirstLineWith("/proc/cpuinfo", "model name");
  model = model.substr(std::min(model.size(), model.find(':') + 2));
  utsname name{};
  ::uname(&name);
  const std::string memory = FirstLineWith("/proc/meminfo", "MemTotal:");
  return std::to_string(std::thread::hardware_concurrency()) + " CPUs (" + model + "), " +
         SplitWords(memory, ' ').at(1) + " kB of memory, Linux " + name.release;
}

// The file descriptors 1,000 connections need on each side.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Results by scenario key, then server index, then repetition. Raw limits use server 0.
using TResults = std::map<std::string, std::vector<std::vector<TMeasure>>>;

class TReport {
 public:
  TReport(const std::vector<TServerSpec>& servers, const TResults& results, std::ostream& out)
      : FServers(servers), FResults(results), FOut(out) {}

  double Get(const std::string& key, std::size_t server, double TMeasure::*field) const {
    const auto it = FResults.find(key);
    if (it == FResults.end() || server >= it->second.size()) {
      return kNone;
    }
    std::vector<double> values;
    for (const TMeasure& m : it->second[server]) {
      values.push_back(m.*field);
    }
    return Median(values);
  }

  // | label | our figure | each peer's | ours ÷ each peer's (with ratios) |
  void Row(const std::string& label, const std::string& key, double TMeasure::*field,
           bool ratios = true) const {
    if (FResults.find(key) == FResults.end()) {
      return;
    }
    FOut << "| " << label;
    for (std::size_t s = 0; s < FServers.size(); ++s) {
      FOut << " | " << Figure(Get(key, s, field));
    }
    for (std::size_t s = 1; ratios && s < FServers.size(); ++s) {
      FOut << " | " << Figure(Get(key, 0, field) / Get(key, s, field));
    }
    FOut << " |\n";
  }

  void Header(const std::string& first, bool ratios) const {
    std::string rule = "|---";
    FOut << "| " << first;
    for (const TServerSpec& server : FServers) {
      FOut << " | " << server.Name;
      rule += "|---:";
    }
    for (std::size_t s = 1; ratios && s < FServers.size(); ++s) {
      FOut << " | ÷ " << FServers[s].Name;
      rule += "|---:";
    }
    FOut << " |\n" << rule << "|\n";
  }

  // | limit | its figure | each server's figure ÷ the limit |
  void Limit(const std::string& label, const std::string& rawKey, const std::string& key) const {
    if (FResults.find(rawKey) == FResults.end()) {
      return;
    }
    const double limit = Get(rawKey, 0, &TMeasure::Value);
    FOut << "| " << label << " | " << Figure(limit);
    const bool measured = FResults.find(key) != FResults.end();
    for (std::size_t s = 0; s < FServers.size(); ++s) {
      FOut << " | " << (measured ? Figure(Get(key, s, &TMeasure::Value) / limit) : "-");
    }
    FOut << " |\n";
  }

  bool Has(const std::string& key) const { return FResults.find(key) != FResults.end(); }

 private:
  const std::vector<TServerSpec>& FServers;
  const TResults& FResults;
  std::ostream& FOut;
};

std::vector<TScenario> Scenarios(const TBenchOptions& options) {
  const TLoadSettings& load = options.Load;
  std::vector<TScenario> list;
  list.push_back({"seq", TTarget::Server, [&load](TServerProcess* server) {
                    return FromRate(SequentialEchoes(server->Port(), load));
                  }});
  list.push_back(
      {"raw-ping", TTarget::Raw, [&load](TServerProcess*) { return FromRate(RawPingPong(load)); }});
  list.push_back({"pipe", TTarget::Server, [&load](TServerProcess* server) {
                    return FromRate(PipelinedEchoes(server->Port(), load));
                  }});
  list.push_back({"hs", TTarget::Server, [&load](TServerProcess* server) {
                    return FromRate(Handshakes(server->Port(), load));
                  }});
  list.push_back({"idle", TTarget::FreshServer, [&load](TServerProcess* server) {
                    const TIdleMemory memory = IdleConnections(*server, load);
                    TMeasure m;
                    m.Value = memory.WithMB;
                    m.Extra1 = memory.PerConnectionKB();
                    m.Extra2 = memory.AfterMB;
                    return m;
                  }});
  for (const std::size_t receivers : options.Receivers) {
    list.push_back({"bc" + std::to_string(receivers), TTarget::Server,
                    [&load, receivers](TServerProcess* server) {
                      TMeasure m = FromRate(Broadcast(server->Port(), receivers, load));
                      m.Extra1 = 1e6 / m.Value;  // wall time per delivery
                      return m;
                    }});
  }
  list.push_back({"big", TTarget::Server, [&load](TServerProcess* server) {
                    TMeasure m;
                    m.Value = BigEchoMBps(server->Port(), load);
                    m.Operations = static_cast<std::uint64_t>(load.BigRepetitions);
                    return m;
                  }});
  list.push_back({"raw-16mb", TTarget::Raw, [&load](TServerProcess*) {
                    TMeasure m;
                    m.Value = RawTransferMBps(load);
                    return m;
                  }});
  return list;
}

// Waits, for at most 20 s, until the server uses less than a tenth of a CPU (it may still be
// writing its log or ending connection threads), and gives how long that took.
std::chrono::milliseconds AwaitQuiet(const TServerProcess& server) {
  using namespace std::chrono_literals;
  const auto start = std::chrono::steady_clock::now();
  auto cpu = server.CpuTime();
  while (std::chrono::steady_clock::now() - start < 20s) {
    std::this_thread::sleep_for(100ms);
    const auto now = server.CpuTime();
    if (now - cpu <= 10ms) {
      break;
    }
    cpu = now;
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

// One scenario on one server, with the server's CPU time per operation counted until the server
// is quiet again, so that work it leaves for later (its log) is counted and does not slow the
// next server down.
TMeasure MeasureOn(const TScenario& scenario, TServerProcess& server, std::ostream& err) {
  const int threads = server.Threads();
  const auto cpu = server.CpuTime();
  TMeasure m = scenario.Run(&server);
  AwaitThreads(server, threads);
  const auto settled = AwaitQuiet(server);
  if (settled > std::chrono::milliseconds(500)) {
    err << "  (" << server.Name() << " kept busy " << settled.count()
        << " ms after the scenario)\n";
  }
  const auto used = server.CpuTime() - cpu;
  if (m.Operations > 0) {
    m.CpuUs =
        std::chrono::duration<double, std::micro>(used).count() / static_cast<double>(m.Operations);
  }
  if (!server.Running()) {
    throw EBenchError("the server has ended");
  }
  return m;
}

void PrintTables(const TBenchOptions& options, const TResults& results, std::ostream& out) {
  const TReport report(options.Servers, results, out);
  const std::string echo = std::to_string(options.Load.EchoSize);
  out << "\n";
  report.Header("scenario", true);
  report.Row("one client, sequential " + echo + "-byte echoes (round trips/s)", "seq",
             &TMeasure::Value);
  report.Row("  p50 latency (µs, lower is better)", "seq", &TMeasure::P50);
  report.Row("  p99 latency (µs, lower is better)", "seq", &TMeasure::P99);
  report.Row("one client, pipelined echoes, " + std::to_string(options.Load.PipelineWindow) +
                 " in flight (replies/s)",
             "pipe", &TMeasure::Value);
  for (const std::size_t receivers : {std::size_t{100}, std::size_t{1000}}) {
    report.Row("broadcast, 1 sender + " + Grouped(static_cast<double>(receivers)) +
                   " receivers, ~1 KB (deliveries/s)",
               "bc" + std::to_string(receivers), &TMeasure::Value);
  }
  report.Row("handshakes, sequential (per s)", "hs", &TMeasure::Value);
  const std::string idle = Grouped(static_cast<double>(options.Load.IdleConnections));
  report.Row(idle + " idle connections (resident MB, lower is better)", "idle", &TMeasure::Value);
  report.Row("  per connection (KB, lower is better)", "idle", &TMeasure::Extra1);
  report.Row("  after they left (resident MB, lower is better)", "idle", &TMeasure::Extra2);
  report.Row(
      "one " + Grouped(static_cast<double>(options.Load.BigSize) / (1 << 20)) + " MiB echo (MB/s)",
      "big", &TMeasure::Value);

  if (report.Has("raw-ping") || report.Has("raw-16mb")) {
    out << "\nPhysical limits on loopback, and each server's figure divided by them:\n\n";
    out << "| limit | figure";
    std::string rule = "|---|---:";
    for (const TServerSpec& server : options.Servers) {
      out << " | " << server.Name << " ÷ limit";
      rule += "|---:";
    }
    out << " |\n" << rule << "|\n";
    report.Limit("raw TCP ping-pong, same frame sizes (round trips/s)", "raw-ping", "seq");
    report.Limit("raw 16 MiB transfer, both ways (MB/s)", "raw-16mb", "big");
  }

  std::vector<std::string> curve;
  for (const std::size_t receivers : options.Receivers) {
    if (report.Has("bc" + std::to_string(receivers))) {
      curve.push_back("bc" + std::to_string(receivers));
    }
  }
  if (!curve.empty()) {
    out << "\nBroadcast cost: wall time per delivery (µs) by number of receivers:\n\n";
    report.Header("receivers", false);
    for (const std::string& key : curve) {
      report.Row(Grouped(std::stod(key.substr(2))), key, &TMeasure::Extra1, false);
    }
    out << "| largest ÷ smallest";
    for (std::size_t s = 0; s < options.Servers.size(); ++s) {
      std::vector<double> costs;
      for (const std::string& key : curve) {
        costs.push_back(report.Get(key, s, &TMeasure::Extra1));
      }
      const auto [low, high] = std::minmax_element(costs.begin(), costs.end());
      out << " | " << Figure(*high / *low);
    }
    out << " |\n";
  }

  out << "\nServer CPU time per operation (µs; per delivery for broadcasts, per echo for the "
         "large echo):\n\n";
  report.Header("scenario", true);
  report.Row("sequential echoes", "seq", &TMeasure::CpuUs);
  report.Row("pipelined echoes", "pipe", &TMeasure::CpuUs);
  for (const std::size_t receivers : options.Receivers) {
    report.Row("broadcast to " + Grouped(static_cast<double>(receivers)),
               "bc" + std::to_string(receivers), &TMeasure::CpuUs);
  }
  report.Row("handshakes", "hs", &TMeasure::CpuUs);
  report.Row("large echo", "big", &TMeasure::CpuUs);
}

}  // namespace

TBenchOptions ParseBenchOptions(const std::vector<std::string>& args) {
  TBenchOptions options;
  bool quick = false;
  int repeat = -1;
  double seconds = -1;
  std::vector<std::size_t> receivers;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) {
        throw std::invalid_argument(arg + " needs a value");
      }
      return args[++i];
    };
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--server") {
      const std::string& spec = value();
      const std::size_t equals = spec.find('=');
      if (equals == 0 || equals == std::string::npos) {
        throw std::invalid_argument("--server wants NAME=COMMAND");
      }
      options.Servers.push_back({spec.substr(0, equals), SplitWords(spec.substr(equals + 1), ' ')});
    } else if (arg == "--repeat") {
      repeat = std::stoi(value());
    } else if (arg == "--seconds") {
      seconds = std::stod(value());
    } else if (arg == "--only") {
      options.Only = SplitWords(value(), ',');
    } else if (arg == "--receivers") {
      for (const std::string& n : SplitWords(value(), ',')) {
        receivers.push_back(std::stoul(n));
      }
    } else {
      throw std::invalid_argument("unknown argument " + arg);
    }
  }
  if (options.Servers.empty()) {
    throw std::invalid_argument("no --server given");
  }
  if (quick) {
    options.Repeat = 1;
    options.Load.Duration = std::chrono::milliseconds(400);
    options.Load.BigRepetitions = 2;
    options.Receivers = {10, 100, 1000};
  }
  if (repeat > 0) {
    options.Repeat = repeat;
  }
  if (seconds > 0) {
    options.Load.Duration = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  }
  if (!receivers.empty()) {
    options.Receivers = receivers;
  }
  return options;
}

int RunBench(const TBenchOptions& options, std::ostream& out, std::ostream& err) {
  RaiseDescriptorLimit();
  const std::string loadBefore = LoadAverage();
  std::vector<std::unique_ptr<TServerProcess>> servers;
  for (const TServerSpec& spec : options.Servers) {
    try {
      servers.push_back(std::make_unique<TServerProcess>(spec.Name, spec.Command));
      err << spec.Name << " listens on port " << servers.back()->Port() << "\n";
    } catch (const EBenchError& e) {
      err << "error: " << e.what() << "\n";
      return 1;
    }
  }
  std::vector<TScenario> scenarios = Scenarios(options);
  if (!options.Only.empty()) {
    std::erase_if(scenarios, [&](const TScenario& scenario) {
      return std::find(options.Only.begin(), options.Only.end(), scenario.Key) ==
             options.Only.end();
    });
  }
  const std::size_t n = servers.size();
  TResults results;
  bool failed = false;
  for (int repeat = 0; repeat < options.Repeat; ++repeat) {
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
      const TScenario& scenario = scenarios[s];
      auto& cells = results[scenario.Key];
      cells.resize(n);
      // Servers take turns, each scenario starting with another one.
      const bool raw = scenario.Target == TTarget::Raw;
      for (std::size_t k = 0; k < (raw ? 1 : n); ++k) {
        const std::size_t i = raw ? 0 : (k + s + static_cast<std::size_t>(repeat)) % n;
        const std::string who = raw ? std::string("raw TCP") : servers[i]->Name();
        try {
          TMeasure m;
          if (raw) {
            m = scenario.Run(nullptr);
          } else if (scenario.Target == TTarget::FreshServer) {
            TServerProcess fresh(options.Servers[i].Name, options.Servers[i].Command);
            m = MeasureOn(scenario, fresh, err);
          } else {
            m = MeasureOn(scenario, *servers[i], err);
          }
          err << scenario.Key << " on " << who << ": " << Figure(m.Value) << "\n";
          cells[i].push_back(m);
        } catch (const std::exception& e) {
          err << "error: " << scenario.Key << " on " << who << ": " << e.what() << "\n";
          cells[i].push_back(TMeasure{});
          failed = true;
        }
      }
    }
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &local);
  out << "Machine: " << MachineText() << ".\n"
      << "Run " << date << "; load average before " << loadBefore << ", after " << LoadAverage()
      << "; medians of " << options.Repeat << " run" << (options.Repeat == 1 ? "" : "s")
      << ", time-bounded scenarios " << options.Load.Duration.count() << " ms each.\n";
  PrintTables(options, results, out);
  return failed ? 1 : 0;
}

}  // namespace vantorix
