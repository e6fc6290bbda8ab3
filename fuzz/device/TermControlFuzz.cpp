// libFuzzer target: our network terminal control, under the four device jobs, fed a terminal's
// replies from a script (fuzz/device/ReplyScript.h) over an in-memory link. Whatever the
// terminal answers, the jobs return outcome texts, send only well-formed requests, never leave
// the link open, and a users document they build writes JSON that reads back to itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "device/DeviceJobs.h"
#include "device/NetTermControl.h"
#include "fuzz/device/ReplyScript.h"
#include "json/JsonDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantorix;
  auto channel = std::make_unique<fuzz::TScriptChannel>(std::span<const std::uint8_t>(data, size));
  TDeviceJobs jobs(std::make_unique<TNetTermControl>(TNetTermOptions{}, std::move(channel)));
  fuzz::RunJobs(jobs, [&](const std::u16string& outcome) {
    fuzz::Require(!jobs.TerminalConnected());
    if (!outcome.empty() && outcome.front() == u'{') {
      // Terminal texts reach the document unchanged, so any unit may be in it; what it writes
      // must read back to the same text.
      const std::unique_ptr<TJsonNode> again = TJsonNode::Parse(outcome);
      fuzz::Require(again && again->ToJSON(true) == outcome);
    }
  });
  return 0;
}
