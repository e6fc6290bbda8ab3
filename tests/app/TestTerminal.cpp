// The in-process simulated terminal for the server form's tests.
#include "tests/app/TestTerminal.h"

#include <gtest/gtest.h>

#include "device/DeviceJobs.h"
#include "terminal/LinkSocket.h"
#include "websocket/Utf8.h"

namespace vantorix::test {
namespace {

// Reads the terminal's users through a job of our own.
std::unique_ptr<TJsonObject> ReadUsers(const std::string& port) {
  TDeviceJobs jobs;
  TGetFromDeviceResult result =
      jobs.getFromDevice(u"127.0.0.1", Utf8Decode(std::string_view(port)), u"0");
  EXPECT_TRUE(result.document) << Utf8EncodeString(result.failure);
  return std::move(result.document);
}

}  // namespace

TTestTerminal::TTestTerminal(TTerminalSetup setup) {
  TTerminalOptions options;
  options.host = "127.0.0.1";
  options.port = 0;
  options.demo = setup.Demo;
  FServer = std::make_unique<TTerminalServer>(options);
  if (setup.Delay.count() > 0) {
    FServer->DelayAnswers(setup.Delay);
  }
  FServer->Start();
}

std::vector<std::string> TTestTerminal::UserIds() const {
  std::vector<std::string> ids;
  const std::unique_ptr<TJsonObject> document = ReadUsers(PortText());
  if (!document) {
    return ids;
  }
  TJsonArray* users = document->GetArray(u"users");
  for (std::int32_t i = 0; users != nullptr && i < users->Count(); ++i) {
    ids.push_back(Utf8EncodeString(users->GetValue(i).AsObject()->GetString(u"enrollNumber")));
  }
  return ids;
}

std::size_t TTestTerminal::TemplateCount() const {
  std::size_t count = 0;
  const std::unique_ptr<TJsonObject> document = ReadUsers(PortText());
  if (!document) {
    return count;
  }
  TJsonArray* users = document->GetArray(u"users");
  for (std::int32_t i = 0; users != nullptr && i < users->Count(); ++i) {
    count += static_cast<std::size_t>(users->GetValue(i).AsObject()->GetInt(u"fpCount"));
  }
  return count;
}

std::vector<std::pair<std::string, int>> TTestTerminal::Templates() const {
  std::vector<std::pair<std::string, int>> out;
  const std::unique_ptr<TJsonObject> document = ReadUsers(PortText());
  TJsonArray* users = document ? document->GetArray(u"users") : nullptr;
  for (std::int32_t i = 0; users != nullptr && i < users->Count(); ++i) {
    TJsonObject* user = users->GetValue(i).AsObject();
    TJsonArray* templates = user->GetValue(u"fpTemplates").AsArray();
    for (std::int32_t j = 0; j < templates->Count(); ++j) {
      out.emplace_back(Utf8EncodeString(user->GetString(u"enrollNumber")),
                       templates->GetValue(j).AsObject()->GetInt(u"fingerIndex"));
    }
  }
  return out;
}

std::uint16_t RefusedPort() {
  // Bound to a free port and closed again: nothing listens there afterwards.
  return TLinkListenSocket("127.0.0.1", 0).Port();
}

}  // namespace vantorix::test
