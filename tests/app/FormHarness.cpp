// The server form test harness.
#include "tests/app/FormHarness.h"

#include <ctime>
#include <thread>
#include <utility>

#include "websocket/Utf8.h"

namespace vantorix::test {

std::u16string U16(const std::string& utf8) {
  return Utf8Decode(std::string_view(utf8));
}
std::string U8(const std::u16string& text) {
  return Utf8EncodeString(text);
}

std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour, int minute,
                                                int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

TFormHarness::TFormHarness(TServerForm::TDeviceJobsFactory makeDeviceJobs, TSocketApi& socketApi) {
  const auto fixed = LocalTime(2024, 3, 5, 14, 7, 9);
  Form = std::make_unique<TServerForm>(
      Window, std::move(makeDeviceJobs), [fixed] { return fixed; }, u":", socketApi);
  Form->MessagesLog = &Controls;
  Form->clients_connected = &Controls;
  Form->CreateServer();
  // Test clients do not answer the server's close frame; no need to wait long for them.
  Form->Server()->GoingAwayTimeoutMs = 300;
  Form->start(u"0");
  FPort = Form->Server()->Bindings[0]->BoundPort;
}

TFormHarness::~TFormHarness() {
  Form->FormClose();
  Window.RunPending();
  Form.reset();
}

bool TFormHarness::Upgraded(std::uint16_t peerPort) const {
  for (const TConnectionContext* context : Form->Server()->Contexts.Lock()) {
    if (context->Connection->Socket->Binding->PeerPort == peerPort) {
      return context->Connection->IOHandler->Tag == kHandshakeDone;
    }
  }
  return false;
}

std::unique_ptr<TWsTestClient> TFormHarness::Connect() {
  auto client = std::make_unique<TWsTestClient>("127.0.0.1", FPort);
  EXPECT_TRUE(client->Open());
  // The client's own connection is looked for by its port: counting upgraded connections would
  // be thrown by an earlier one leaving the list at the same moment.
  const std::uint16_t port = client->LocalPort();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!Upgraded(port) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(Upgraded(port)) << "the server has not upgraded the connection";
  return client;
}

bool TFormHarness::DrainUntil(const std::function<bool()>& pred, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Window.RunPending();
    if (pred()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    Window.RunFor(std::chrono::milliseconds(10));
  }
}

bool TFormHarness::WaitForEntries(std::size_t n, int timeoutMs) {
  return DrainUntil([&] { return Controls.Entries.size() >= n; }, timeoutMs);
}

std::vector<std::string> TFormHarness::Messages(bool withSender) const {
  std::vector<std::string> out;
  const std::u16string separator = std::u16string(u"] - ") + kNow + u": ";
  for (const std::u16string& entry : Controls.Entries) {
    const std::size_t at = entry.find(separator);
    if (entry.empty() || entry[0] != u'[' || at == std::u16string::npos) {
      out.push_back("<malformed> " + U8(entry));
      continue;
    }
    const std::string message = U8(entry.substr(at + separator.size()));
    out.push_back(withSender ? "[" + U8(entry.substr(1, at - 1)) + "] " + message : message);
  }
  return out;
}

}  // namespace vantorix::test
