// The desktop window test harness.
#include "tests/desktop/WindowHarness.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QStringList>
#include <QTest>

namespace vantorix::test {

TWindowHarness::TWindowHarness(const std::u16string& startupPort) {
  TMainFormSetup setup;
  setup.StartupPort = startupPort;
  Window = std::make_unique<TMainForm>(std::move(setup), &Errors);
  Window->show();
}

TWindowHarness::~TWindowHarness() {
  Window->close();
  Window.reset();
}

std::uint16_t TWindowHarness::Port() {
  TWebSocketServer* server = Window->wss().Server();
  if (server == nullptr || !server->Active()) {
    return 0;
  }
  for (std::size_t i = 0; i < server->Bindings.Count(); ++i) {
    if (server->Bindings[i]->IPVersion == TIPVersion::IPv4) {
      return server->Bindings[i]->BoundPort;
    }
  }
  return 0;
}

std::vector<std::string> TWindowHarness::RawLines() const {
  std::vector<std::string> lines;
  const QString text = Window->logLines.toPlainText();
  if (text.isEmpty()) {
    return lines;
  }
  for (const QString& line : text.split(u'\n')) {
    lines.push_back(line.toStdString());
  }
  return lines;
}

std::vector<TShownLogLine> TWindowHarness::Lines() const {
  static const QRegularExpression prefix(
      QStringLiteral(R"(^\[([^\]]*)\] - \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: : (.*)$)"));
  std::vector<TShownLogLine> out;
  for (const std::string& line : RawLines()) {
    const QRegularExpressionMatch match = prefix.match(QString::fromStdString(line));
    if (match.hasMatch()) {
      out.push_back({true, match.captured(1).toStdString(), match.captured(2).toStdString()});
    } else {
      out.push_back({false, {}, line});
    }
  }
  return out;
}

std::vector<std::string> TWindowHarness::Messages() const {
  std::vector<std::string> out;
  for (const TShownLogLine& line : Lines()) {
    if (line.Prefixed) {
      out.push_back(line.Message);
    }
  }
  return out;
}

bool TWindowHarness::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  return QTest::qWaitFor(pred, timeoutMs);
}

bool TWindowHarness::WaitForMessages(std::size_t n) {
  return WaitFor([&] { return Messages().size() >= n; });
}

void TWindowHarness::Change(const QString& text) {
  Window->edPort.clear();
  QTest::keyClicks(&Window->edPort, text);
  QTest::mouseClick(&Window->btStart, Qt::LeftButton);
}

TPortHolder::TPortHolder() {
  FFd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof address;
  if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(FFd, 1) != 0 ||
      getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "cannot hold a port";
    return;
  }
  FPort = ntohs(address.sin_port);
}

TPortHolder::~TPortHolder() {
  if (FFd >= 0) {
    close(FFd);
  }
}

}  // namespace vantorix::test
