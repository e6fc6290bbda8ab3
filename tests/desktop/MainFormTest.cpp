// The desktop window on Qt's offscreen platform: its controls, start-up, the connect and
// disconnect lines and the counter, "Change" with its error boxes, closing, and the log under a
// large entry.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QMessageBox>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/LogLine.h"
#include "app/desktop/StopRelay.h"
#include "tests/app/FormHarness.h"
#include "tests/app/TestTerminal.h"
#include "tests/desktop/WindowHarness.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

std::string Device(const std::string& port) {
  return "{\"ip\":\"127.0.0.1\",\"port\":\"" + port + "\",\"key\":\"0\"}";
}

std::unique_ptr<TWsTestClient> OpenClient(std::uint16_t port) {
  auto client = std::make_unique<TWsTestClient>("127.0.0.1", port);
  EXPECT_TRUE(client->Open());
  return client;
}

TEST(QtWindowThreadTest, ProceduresFromOtherThreadsRunOnTheGuiThreadInOrderWithoutWaiting) {
  TQtWindowThread window;
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<int>> ran(kThreads);
  std::vector<std::thread::id> where;
  std::vector<std::thread> threads;
  // The GUI thread runs no event loop while they queue: Queue must return all the same.
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      EXPECT_FALSE(window.IsWindowThread());
      for (int i = 0; i < kEach; ++i) {
        window.Queue([&ran, &where, t, i] {
          ran[static_cast<std::size_t>(t)].push_back(i);
          where.push_back(std::this_thread::get_id());
        });
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_TRUE(where.empty()) << "nothing runs before the event loop does";
  ASSERT_TRUE(QTest::qWaitFor([&] { return where.size() == kThreads * kEach; }, kWindowWaitMs));
  for (const std::vector<int>& sequence : ran) {
    ASSERT_EQ(sequence.size(), static_cast<std::size_t>(kEach));
    EXPECT_TRUE(std::is_sorted(sequence.begin(), sequence.end()));
  }
  EXPECT_EQ(std::count(where.begin(), where.end(), std::this_thread::get_id()), kThreads * kEach);
}

TEST(QtWindowThreadTest, QueuedOnTheGuiThreadItRunsAtOnceAndUnrunProceduresAreDroppedWithIt) {
  auto window = std::make_unique<TQtWindowThread>();
  EXPECT_TRUE(window->IsWindowThread());
  int ran = 0;
  window->Queue([&ran] { ++ran; });
  EXPECT_EQ(ran, 1);

  auto alive = std::make_shared<int>(0);
  std::thread([&window, &ran, alive] { window->Queue([alive, &ran] { ++ran; }); }).join();
  EXPECT_EQ(alive.use_count(), 2);
  window.reset();
  EXPECT_EQ(alive.use_count(), 1) << "the unrun procedure was destroyed with the queue";
  QApplication::processEvents();
  EXPECT_EQ(ran, 1);
}

TEST(StopRelayTest, ARequestReachesTheConnectionOnceItExistsAndNothingAfterItEnds) {
  TStopRelay relay;
  int stops = 0;
  std::thread([&relay] { relay.Request(); }).join();
  {
    const TStopRelay::TConnection connection = relay.Connect([&stops] { ++stops; });
    EXPECT_EQ(stops, 1) << "a request made before Connect is delivered by it";
    std::thread([&relay] { relay.Request(); }).join();
    EXPECT_EQ(stops, 2);
  }
  relay.Request();
  EXPECT_EQ(stops, 2) << "no request reaches a connection that has ended";
}

TEST(MainFormTest, ControlsHaveTheirNamesCaptionsPlacesAndFont) {
  TWindowHarness h;
  TMainForm& w = *h.Window;
  EXPECT_EQ(w.objectName(), "MainForm");
  EXPECT_EQ(w.windowTitle(), "Vantorix");
  EXPECT_EQ(w.size(), QSize(764, 409));
  EXPECT_TRUE(w.isWindow()) << "a top-level window has a task-bar button of its own";

  struct Control {
    const QWidget* widget;
    const char* name;
    QPoint pos;
    QString text;
  };
  const Control controls[] = {
      {&w.lbPort, "lbPort", {72, 35}, "Port"},
      {&w.edPort, "edPort", {72, 56}, "8989"},
      {&w.btStart, "btStart", {136, 55}, "Change"},
      {&w.clients_connected, "clients_connected", {72, 96}, ""},
      {&w.Label2, "Label2", {136, 96}, "Clients connected"},
  };
  for (const Control& c : controls) {
    EXPECT_EQ(c.widget->objectName(), c.name);
    EXPECT_EQ(c.widget->parentWidget(), &w.Panel2) << c.name;
    EXPECT_EQ(c.widget->pos(), c.pos) << c.name;
    QString text;
    if (const auto* label = qobject_cast<const QLabel*>(c.widget)) {
      text = label->text();
    } else if (const auto* edit = qobject_cast<const QLineEdit*>(c.widget)) {
      text = edit->text();
    } else if (const auto* button = qobject_cast<const QPushButton*>(c.widget)) {
      text = button->text();
    }
    EXPECT_EQ(text, c.text) << c.name;
  }
  EXPECT_EQ(w.edPort.width(), 41);
  EXPECT_EQ(w.btStart.size(), QSize(75, 25));

  EXPECT_EQ(w.Panel1.objectName(), "Panel1");
  EXPECT_EQ(w.Panel2.objectName(), "Panel2");
  EXPECT_EQ(w.logLines.objectName(), "logLines");
  EXPECT_EQ(w.logLines.parentWidget(), &w.Panel1);
  EXPECT_TRUE(w.logLines.isReadOnly());
  EXPECT_TRUE(w.logLines.toPlainText().isEmpty());
  EXPECT_EQ(w.logLines.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.logLines.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.logLines.lineWrapMode(), QPlainTextEdit::NoWrap);

  // Segoe UI where installed, else the first installed of the close faces; 12 pixels.
  const QStringList preferred = {"Segoe UI",        "Selawik", "Noto Sans",  "Open Sans",
                                 "Liberation Sans", "Arial",   "DejaVu Sans"};
  QString expected;
  for (const QString& family : preferred) {
    if (QFontDatabase::hasFamily(family)) {
      expected = family;
      break;
    }
  }
  for (const QWidget* widget :
       {static_cast<const QWidget*>(&w.logLines), static_cast<const QWidget*>(&w.btStart),
        static_cast<const QWidget*>(&w.Label2)}) {
    const QFontInfo info(widget->font());
    EXPECT_EQ(info.pixelSize(), 12) << widget->objectName().toStdString();
    if (!expected.isEmpty()) {
      EXPECT_EQ(info.family(), expected) << widget->objectName().toStdString();
    }
  }
}

TEST(MainFormTest, TheLogFollowsTheWindowAndTheBottomStripKeepsItsHeight) {
  TWindowHarness h;
  TMainForm& w = *h.Window;
  for (const QSize size : {QSize(764, 409), QSize(1200, 800), QSize(420, 260)}) {
    w.resize(size);
    QApplication::processEvents();
    EXPECT_EQ(w.Panel2.geometry(), QRect(0, size.height() - 123, size.width(), 123))
        << size.width() << "x" << size.height();
    EXPECT_EQ(w.Panel1.geometry(), QRect(0, 0, size.width(), size.height() - 123));
    EXPECT_GE(w.logLines.width(), size.width() - 4);
    EXPECT_GE(w.logLines.height(), size.height() - 123 - 4);
    EXPECT_EQ(w.btStart.pos(), QPoint(136, 55));
  }
}

TEST(MainFormTest, StartUpListensAndClientsAreLoggedAndCounted) {
  TWindowHarness h;
  ASSERT_TRUE(h.Errors.Boxes.empty());
  TWebSocketServer& server = *h.Window->wss().Server();
  ASSERT_TRUE(server.Active());
  // Every local address: the IPv4 any-address binding (and IPv6 where offered).
  EXPECT_EQ(server.Bindings[0]->BoundIP, u"0.0.0.0");
  EXPECT_TRUE(h.Window->clients_connected.text().isEmpty());

  auto client = OpenClient(h.Port());
  ASSERT_TRUE(h.WaitForMessages(3));
  ASSERT_TRUE(h.WaitFor([&] { return h.Window->clients_connected.text() == "1"; }));
  const std::vector<TShownLogLine> lines = h.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Sender, "");
  EXPECT_EQ(lines[0].Message, "Client Connected");
  EXPECT_EQ(lines[1].Sender, "SERVER");
  EXPECT_EQ(lines[1].Message, "Client Connected!");
  EXPECT_EQ(lines[2].Sender, "SERVER");
  EXPECT_EQ(lines[2].Message,
            "Port=" + std::to_string(h.Port()) +
                " (PeerIP=127.0.0.1 - PeerPort=" + std::to_string(client->LocalPort()) + ")");

  client->Close();
  ASSERT_TRUE(h.WaitForMessages(4));
  EXPECT_EQ(h.Messages().back(), "Client disconnected");
  EXPECT_TRUE(h.WaitFor([&] { return h.Window->clients_connected.text() == "0"; }));
}

TEST(MainFormTest, AnEchoAddsTheIndentedCommandAsOneEntry) {
  TWindowHarness h;
  auto client = OpenClient(h.Port());
  client->SendText(R"({"act":"echo","state":"s1","devices":[{"ip":"a"}]})");
  ASSERT_TRUE(client->ReadText(kWindowWaitMs));
  ASSERT_TRUE(h.WaitForMessages(5));
  const std::vector<std::string> raw = h.RawLines();
  const std::vector<std::string> expectedTail = {"    \"act\": \"echo\",",
                                                 "    \"state\": \"s1\",",
                                                 "    \"devices\": [",
                                                 "        {",
                                                 "            \"ip\": \"a\"",
                                                 "        }",
                                                 "    ]",
                                                 "}"};
  ASSERT_GE(raw.size(), expectedTail.size());
  EXPECT_EQ(std::vector<std::string>(raw.end() - static_cast<std::ptrdiff_t>(expectedTail.size()),
                                     raw.end()),
            expectedTail);
  // The count of devices, then the entry whose first line carries the prefix.
  const std::vector<std::string> messages = h.Messages();
  EXPECT_EQ(messages[3], "1");
  EXPECT_EQ(messages[4], "{");
}

TEST(MainFormTest, ChangeShowsTheBoxOrListensOnTheLoopbackPort) {
  TWindowHarness h;
  const std::uint16_t free = RefusedPort();
  const QString decimal = QString::number(free);
  const QString hex = QString::number(free, 16).toUpper();
  struct Case {
    QString text;
    std::u16string box;  // empty: the listener must be active on `port`
    std::uint16_t port;
  };
  const Case cases[] = {
      {"abc", u"'abc' is not a valid integer value.", 0},
      {" " + decimal, u"", free},
      {"65536", u"Range check error.", 0},
      {"$" + hex, u"", free},
      {"-1", u"Range check error.", 0},
      {decimal + " ", U16("'" + (decimal + " ").toStdString() + "' is not a valid integer value."),
       0},
      {"<b>7</b>", u"'<b>7</b>' is not a valid integer value.", 0},
      {"0", u"", 0},
  };
  for (const Case& c : cases) {
    h.Errors.Boxes.clear();
    h.Change(c.text);
    TWebSocketServer& server = *h.Window->wss().Server();
    ASSERT_EQ(server.Bindings.Count(), 1u) << c.text.toStdString();
    if (!c.box.empty()) {
      EXPECT_EQ(h.Errors.Boxes, std::vector<std::u16string>{c.box}) << c.text.toStdString();
      EXPECT_FALSE(server.Active()) << c.text.toStdString();
      continue;
    }
    EXPECT_TRUE(h.Errors.Boxes.empty()) << c.text.toStdString();
    ASSERT_TRUE(server.Active()) << c.text.toStdString();
    EXPECT_EQ(server.Bindings[0]->BoundIP, u"127.0.0.1");
    if (c.port != 0) {
      EXPECT_EQ(server.Bindings[0]->BoundPort, c.port);
    } else {
      EXPECT_NE(server.Bindings[0]->BoundPort, 0) << "0 lets the system choose";
    }
    // The server answers there.
    OpenClient(server.Bindings[0]->BoundPort);
  }
}

TEST(MainFormTest, ChangeToAPortInUseShowsTheListenerErrorAndStaysStopped) {
  TWindowHarness h;
  TPortHolder taken;
  h.Change(QString::number(taken.Port()));
  EXPECT_EQ(h.Errors.Boxes,
            std::vector<std::u16string>{u"Socket Error # 10048\r\nAddress already in use."});
  EXPECT_FALSE(h.Window->wss().Server()->Active());
}

TEST(MainFormTest, StartUpWithThePortTakenShowsItsBoxThenOpensStoppedAndChangeStartsIt) {
  TPortHolder taken;
  TWindowHarness h(U16(std::to_string(taken.Port())));
  EXPECT_EQ(h.Errors.Boxes,
            std::vector<std::u16string>{u"Socket Error # 10048\r\nAddress already in use."});
  EXPECT_FALSE(h.Window->wss().Server()->Active());
  EXPECT_TRUE(h.Window->isVisible());

  h.Change("0");
  ASSERT_TRUE(h.Window->wss().Server()->Active());
  OpenClient(h.Window->wss().Server()->Bindings[0]->BoundPort);
  EXPECT_EQ(h.Errors.Boxes.size(), 1u);
}

TEST(MainFormTest, ChangeDisconnectsAConnectedClientAndLogsIt) {
  TWindowHarness h;
  auto client = OpenClient(h.Port());
  ASSERT_TRUE(h.WaitFor([&] { return h.Window->clients_connected.text() == "1"; }));
  h.Change("0");
  EXPECT_TRUE(client->WaitForClose(kWindowWaitMs));
  ASSERT_TRUE(h.WaitForMessages(4));
  EXPECT_EQ(h.Messages()[3], "Client disconnected");
  EXPECT_TRUE(h.WaitFor([&] { return h.Window->clients_connected.text() == "0"; }));
  EXPECT_TRUE(h.Errors.Boxes.empty());
}

TEST(MainFormTest, ClosingWithAClientConnectedEndsItsThreadFirstAndTheLoopEndsWithZero) {
  TWindowHarness h;
  auto client = OpenClient(h.Port());
  ASSERT_TRUE(h.WaitForMessages(3));
  QTimer::singleShot(0, h.Window.get(), [&h] { h.Window->close(); });
  EXPECT_EQ(QApplication::exec(), 0);
  // Qt posts a quit of its own when the last window closes; left queued, it would end the next
  // test's event loops at once.
  QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
  EXPECT_EQ(h.Window->wss().Server(), nullptr);
  // Already closed when the loop ended: no waiting here.
  EXPECT_TRUE(client->WaitForClose(0));
  QApplication::processEvents();
  EXPECT_EQ(h.Messages().back(), "Client disconnected");
}

TEST(MainFormTest, ClosingWhileASlowJobRunsEndsAfterItsThreadWithTheFinishStatusSent) {
  TTestTerminal slow({.Delay = std::chrono::milliseconds(100)});
  TWindowHarness h;
  auto client = OpenClient(h.Port());
  client->SendText(
      R"({"act":"synctodevice","state":"s","devices":[)" + Device(slow.PortText()) +
      R"(],"users":[{"enrollNumber":"1","fpCount":0},{"enrollNumber":"2","fpCount":0}]})");
  ASSERT_EQ(client->ReadText(kWindowWaitMs).value_or("<none>"),
            R"({"status":"start", "state":"s", "remarks":"sync in progress to:127.0.0.1"})");
  h.Window->close();
  // When close returns, the job's finish status and the end of the connection have already been
  // sent, and the connection's disconnect line already queued.
  const std::string finish = client->ReadText(0).value_or("<none>");
  EXPECT_EQ(finish.rfind(R"({"status":"finish", "state":"s", "remarks":")", 0), 0u) << finish;
  EXPECT_TRUE(client->WaitForClose(0));
  EXPECT_EQ(h.Window->wss().Server(), nullptr);
  QApplication::processEvents();
  EXPECT_EQ(h.Messages().back(), "Client disconnected");
  // Whole users only: none, "1", or both.
  const std::vector<std::string> stored = slow.UserIds();
  EXPECT_TRUE(stored.empty() || stored == std::vector<std::string>{"1"} ||
              stored == (std::vector<std::string>{"1", "2"}))
      << stored.size();
}

TEST(MainFormTest, ALargeEntryIsShownInPartsInOrderAndTheLogKeepsTheNewestLines) {
  TWindowHarness h;
  const int total = kLogLineLimit + TQtLogControl::kDropBatch + 5000;
  // Four entries, each well under the 1 MiB that the form keeps of one log message.
  constexpr int kEntries = 4;
  std::vector<std::u16string> entries(kEntries);
  for (int i = 1; i <= total; ++i) {
    std::u16string& entry = entries[static_cast<std::size_t>((i - 1) * kEntries / total)];
    entry += U16(std::to_string(i));
    if (i % (total / kEntries) != 0 && i != total) {
      entry += i % 2 == 0 ? u"\r\n" : u"\n";
    }
  }
  std::thread([&] {
    for (const std::u16string& entry : entries) {
      h.Window->wss().log(u"big", entry);
    }
    h.Window->wss().log(u"", u"after");
  }).join();
  // The first part shows with the entry's procedure; the rest follows while the loop runs.
  ASSERT_TRUE(h.WaitFor([&] { return h.Window->logLines.blockCount() > 1; }));
  EXPECT_TRUE(h.Window->LogControl().Pending());
  EXPECT_LT(h.Window->logLines.blockCount(), total);
  ASSERT_TRUE(h.WaitFor([&] { return !h.Window->LogControl().Pending(); }, 120000));

  const int shown = h.Window->logLines.blockCount();
  EXPECT_GE(shown, kLogLineLimit);
  EXPECT_LT(shown, kLogLineLimit + TQtLogControl::kDropBatch);
  const QTextDocument& document = *h.Window->logLines.document();
  // The oldest lines went; the rest are the entry's last lines in order, then the next entry.
  EXPECT_EQ(document.firstBlock().text(), QString::number(total - shown + 2));
  EXPECT_EQ(document.findBlockByNumber(shown - 2).text(), QString::number(total));
  EXPECT_TRUE(document.lastBlock().text().endsWith(": : after"));
}

TEST(MainFormTest, AVeryLongLineIsShownCut) {
  TWindowHarness h;
  h.Window->wss().log(u"", std::u16string(kShownLineLimit + 1000, u'x'));
  ASSERT_TRUE(h.WaitForMessages(1));
  const std::string line = h.Messages()[0];
  EXPECT_EQ(line.size(), kShownLineLimit - std::string("[] - 2024-01-01 00:00:00: : ").size() +
                             std::string(" \u2026 (1028 more characters)").size());
  EXPECT_TRUE(line.ends_with("x \u2026 (1028 more characters)")) << line.substr(line.size() - 40);
}

TEST(MainFormTest, TheQtBoxShowsThePlainTextWithTheStopIconAndOk) {
  TQtErrorReporter reporter(nullptr);
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  Qt::TextFormat format = Qt::AutoText;
  QString title;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    text = box->text();
    icon = box->icon();
    buttons = box->standardButtons();
    format = box->textFormat();
    title = box->windowTitle();
    box->accept();
  });
  reporter.ShowError(u"Socket Error # 10048\r\nAddress <b>already</b> in use.");
  EXPECT_EQ(text, "Socket Error # 10048\nAddress <b>already</b> in use.");
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(buttons, QMessageBox::Ok);
  EXPECT_EQ(format, Qt::PlainText);
  EXPECT_EQ(title, "Vantorix");
}

}  // namespace
}  // namespace vantorix::test
