// The terminal's side of the control's fuzz target, as a script of what each receive returns,
// and the jobs the target runs. Shared with the program that records the seed scripts from the
// simulator.
//
// Script: one byte of faults (bit 0: the first Open is refused; bit 1: a receive past the end of
// the script times out instead of finding the link closed), then chunks, each a 16-bit
// little-endian length and that many bytes. Each Receive returns the next chunk; an empty one is
// a time-out.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/DeviceJobs.h"
#include "json/JsonDocument.h"
#include "terminal/LinkChannel.h"
#include "terminal/LinkProtocol.h"

namespace vantorix::fuzz {

inline void Require(bool condition) {
  if (!condition)
    std::abort();
}

inline constexpr std::uint8_t kRefuseFirstOpen = 0x01;
inline constexpr std::uint8_t kSilentEnd = 0x02;

// Plays a script. Checks what the control sends: whole, well-formed requests, a hello first on
// every link and never again on it.
class TScriptChannel final : public TLinkChannel {
 public:
  explicit TScriptChannel(std::span<const std::uint8_t> script)
      : FFaults(script.empty() ? 0 : script[0]),
        FRest(script.empty() ? script : script.subspan(1)) {}
  ~TScriptChannel() override { Require(FSent.Empty()); }

  int Open(const std::string&, std::uint16_t, std::chrono::milliseconds) override {
    Close();
    if ((FFaults & kRefuseFirstOpen) && FOpens++ == 0)
      return ECONNREFUSED;
    FOpen = true;
    FGreeted = false;
    return 0;
  }
  TIoStatus Send(std::span<const std::uint8_t> bytes,
                 std::chrono::steady_clock::time_point) override {
    Require(FOpen);
    FSent.Feed(bytes);
    while (auto body = FSent.Next()) {
      const TLinkRequest request = DecodeRequest(*body);  // malformed: escapes as a crash
      Require((request.op == TLinkOp::kHello) == !FGreeted);
      FGreeted = true;
    }
    return TIoStatus::kOk;
  }
  TIoStatus Receive(std::vector<std::uint8_t>& out,
                    std::chrono::steady_clock::time_point) override {
    Require(FOpen);
    if (FRest.size() < 2)
      return FFaults & kSilentEnd ? TIoStatus::kTimeout : TIoStatus::kClosed;
    const std::size_t n = std::min<std::size_t>(FRest[0] | FRest[1] << 8, FRest.size() - 2);
    out.insert(out.end(), FRest.begin() + 2, FRest.begin() + 2 + static_cast<std::ptrdiff_t>(n));
    FRest = FRest.subspan(2 + n);
    return n == 0 ? TIoStatus::kTimeout : TIoStatus::kOk;
  }
  void Close() override {
    FOpen = false;
    FSent = TFrameAssembler();
  }
  bool IsOpen() const override { return FOpen; }

 private:
  std::uint8_t FFaults;
  std::span<const std::uint8_t> FRest;
  int FOpens = 0;
  bool FOpen = false;
  bool FGreeted = false;
  TFrameAssembler FSent;
};

// What the jobs are given, as a command would carry it.
inline std::unique_ptr<TJsonArray> JobArray(const char16_t* json) {
  std::unique_ptr<TJsonNode> node = TJsonNode::Parse(json);
  Require(dynamic_cast<TJsonArray*>(node.get()) != nullptr);
  return std::unique_ptr<TJsonArray>(static_cast<TJsonArray*>(node.release()));
}

// Runs the four jobs once each against the terminal at 127.0.0.1:4370, key 0, in a fixed order,
// and calls seen(result) with each outcome text (getFromDevice's document written compact).
template <typename TSeen>
void RunJobs(TDeviceJobs& jobs, TSeen seen) {
  const auto users = JobArray(
      uR"([{"enrollNumber":"7","name":"Eve","cardNumber":"555","privilege":0,"enabled":true,)"
      uR"("password":"12","fpCount":2,"fpTemplates":[)"
      uR"({"flag":1,"fingerIndex":0,"templateData":"TPL-A"},)"
      uR"({"flag":1,"fingerIndex":6,"templateData":"TPL-B"}]},)"
      uR"({"enrollNumber":"1","name":"Ada","enabled":false,"fpCount":0}])");
  const auto deletions = JobArray(
      uR"([{"enrollNumber":"1","deleteOption":"0"},{"enrollNumber":"3","deleteOption":12}])");
  const auto fingers = JobArray(uR"([{"enrollNumber":"2","fingerIndex":"0"}])");
  TGetFromDeviceResult read = jobs.getFromDevice(u"127.0.0.1", u"4370", u"0");
  seen(read.document ? read.document->ToJSON(true) : read.failure);
  seen(jobs.syncToDevice(u"127.0.0.1", u"4370", u"0", users.get()));
  seen(jobs.deleteEnrolledDataFromDevice(u"127.0.0.1", u"4370", u"0", deletions.get()));
  seen(jobs.deleteFingerTemplateFromDevice(u"127.0.0.1", u"4370", u"0", fingers.get()));
}

}  // namespace vantorix::fuzz
