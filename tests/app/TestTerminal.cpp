// The simulated terminal process for the server form's tests.
#include "tests/app/TestTerminal.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "device/DeviceJobs.h"
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
  std::vector<std::string> argv = {VANTORIX_TERMINAL_PATH, "--listen", "127.0.0.1:0"};
  if (setup.Demo) {
    argv.push_back("--demo");
  }
  if (setup.Delay.count() > 0) {
    argv.push_back("--delay");
    argv.push_back(std::to_string(setup.Delay.count()));
  }
  FProcess = std::make_unique<TChildProcess>(argv);
  const std::optional<int> port = WaitForListeningPort(*FProcess, std::chrono::seconds(10));
  EXPECT_TRUE(port) << "vantorix-terminal did not start";
  FPort = port.value_or(0);
}

TTestTerminal::~TTestTerminal() {
  FProcess->Signal(SIGTERM);
  FProcess->WaitExit(std::chrono::seconds(10));
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
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace vantorix::test
