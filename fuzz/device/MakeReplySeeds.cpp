// Records seed scripts for term_control_fuzz: runs its jobs against the simulator over an
// in-memory link and writes what each receive returned, in the script format of ReplyScript.h.
//   make_reply_seeds DIR    writes DIR/demo-terminal and DIR/empty-terminal
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceJobs.h"
#include "device/NetTermControl.h"
#include "fuzz/device/ReplyScript.h"
#include "terminal/TerminalServer.h"

namespace {

using namespace vantorix;

// Passes everything to the simulator's link and keeps each receive as a chunk.
class TRecordingChannel final : public TLinkChannel {
 public:
  TRecordingChannel(const TMemoryNetwork& network, std::vector<std::uint8_t>& script)
      : FInner(network), FScript(script) {}
  int Open(const std::string& host, std::uint16_t port, std::chrono::milliseconds t) override {
    return FInner.Open(host, port, t);
  }
  TIoStatus Send(std::span<const std::uint8_t> b,
                 std::chrono::steady_clock::time_point d) override {
    return FInner.Send(b, d);
  }
  TIoStatus Receive(std::vector<std::uint8_t>& out,
                    std::chrono::steady_clock::time_point d) override {
    const std::size_t before = out.size();
    const TIoStatus status = FInner.Receive(out, d);
    const std::size_t n = out.size() - before;
    FScript.push_back(static_cast<std::uint8_t>(n));
    FScript.push_back(static_cast<std::uint8_t>(n >> 8));
    FScript.insert(FScript.end(), out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
    return status;
  }
  void Close() override { FInner.Close(); }
  bool IsOpen() const override { return FInner.IsOpen(); }

 private:
  TMemoryChannel FInner;
  std::vector<std::uint8_t>& FScript;
};

bool Record(const std::string& path, bool demo) {
  TTerminalOptions options;
  options.port = 0;
  options.demo = demo;
  TTerminalServer terminal(options);
  TMemoryNetwork network;
  network.Attach(4370, terminal);
  std::vector<std::uint8_t> script{0};
  {
    TDeviceJobs jobs(std::make_unique<TNetTermControl>(
        TNetTermOptions{}, std::make_unique<TRecordingChannel>(network, script)));
    fuzz::RunJobs(jobs, [](const std::u16string&) {});
  }
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(script.data()),
            static_cast<std::streamsize>(script.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_reply_seeds DIR\n";
    return 2;
  }
  const std::string dir = argv[1];
  return Record(dir + "/demo-terminal", true) && Record(dir + "/empty-terminal", false) ? 0 : 1;
}
