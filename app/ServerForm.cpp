// The server form: listener lifecycle, log and counter, the command dispatcher and the broadcast.
#include "app/ServerForm.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "app/StatusMessage.h"
#include "device/DeviceRecords.h"
#include "json/FormatJson.h"
#include "json/JsonDocument.h"
#include "json/TextToInt.h"
#include "platform/Memory.h"
#include "websocket/WebSocketFrames.h"

namespace vantorix {
namespace {

std::u16string Decimal(long long value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string Concat(std::u16string_view a, std::u16string_view b) {
  std::u16string out(a);
  out += b;
  return out;
}

// A terminal named by a command: its "ip", "port" and "key" texts.
struct TDeviceEntry {
  std::u16string ip;
  std::u16string port;
  std::u16string key;
};

// Every entry of a command's "devices", with its port and key texts converted as the jobs will.
// A null entry raises ECommandError, any other entry that is no object the model's cast error.
std::vector<TDeviceEntry> ReadDeviceEntries(TJsonArray& devices) {
  std::vector<TDeviceEntry> entries;
  TJsonArrayEnumerator each = devices.GetEnumerator();
  while (each.MoveNext()) {
    TJsonObject* device = each.Current().AsObject();
    if (device == nullptr) {
      throw ECommandError("Invalid command: a device entry is null");
    }
    // Braced initialisers run in order: "ip", then "port", then "key".
    const TDeviceEntry& entry = entries.emplace_back(TDeviceEntry{
        device->GetString(u"ip"), device->GetString(u"port"), device->GetString(u"key")});
    CheckTerminalAddress(entry.port, entry.key);
  }
  return entries;
}

// Whether the command goes to a terminal (and so runs on the connection's command thread). A
// command whose act cannot be read is not: it fails where it runs.
bool ReachesTerminal(const TJsonObject& command) {
  try {
    const std::u16string act = command.GetString(u"act");
    return act == u"synctodevice" || act == u"getfromdevice" || act == u"deleteenrolleddata" ||
           act == u"deletefptemplate";
  } catch (const std::exception&) {
    return false;
  }
}

// Port text to a port number: the text-to-integer conversion, then the 16-bit range.
std::uint16_t PortFromText(const std::u16string& text) {
  const std::int32_t value = TextToInt(text);
  if (value < 0 || value > 65535) {
    throw ERangeError("Range check error");
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

TServerForm::TServerForm(TWindowThread& windowThread, TDeviceJobsFactory makeDeviceJobs,
                         TClock clock, std::u16string timeSeparator, TSocketApi& socketApi)
    : FWindow(windowThread),
      FSocketApi(socketApi),
      FMakeDeviceJobs(std::move(makeDeviceJobs)),
      FClock(std::move(clock)),
      FTimeSeparator(std::move(timeSeparator)) {}

TServerForm::~TServerForm() {
  FormClose();
}

void TServerForm::CreateServer() {
  // The device jobs object comes first, so that no command can find it missing, not even one
  // carried by a connection accepted the moment the listener starts.
  if (!FData) {
    FData = FMakeDeviceJobs ? FMakeDeviceJobs() : std::make_unique<TDeviceJobs>();
  }
  if (!FServerOwner) {
    auto server = std::make_unique<TWebSocketServer>(FSocketApi);
    server->OnExecute = [this](TConnectionContext* c) { OnWebSocketExecute(c); };
    server->OnConnect = [this](TConnectionContext* c) { OnWebSocketConnected(c); };
    server->OnDisconnect = [this](TConnectionContext* c) { OnWebSocketDisconnected(c); };
    server->OnOriginRefused = [this](TConnectionContext* c, const std::u16string& origin) {
      OnWebSocketOriginRefused(c, origin);
    };
    FServerOwner = std::move(server);
    FServer = FServerOwner.get();
  }
}

void TServerForm::FormCreate() {
  CreateServer();
  FServerOwner->SetDefaultPort(PortFromText(edPort));
  FServerOwner->SetActive(true);
}

void TServerForm::start(const std::u16string& port) {
  CreateServer();
  TWebSocketServer& server = *FServerOwner;
  // The jobs' finish statuses reach the clients before their connections close.
  StopCommands();
  server.SetActive(false);
  // Every connection of the old listener has ended: the next one's commands may run.
  ResumeCommands();
  server.Bindings.Clear();
  TSocketHandle* binding = server.Bindings.Add();
  binding->IP = u"127.0.0.1";
  binding->Port = PortFromText(port);
  server.SetActive(true);
}

void TServerForm::FormClose() {
  {
    std::lock_guard<std::mutex> lock(FCommandsMutex);
    if (FClosed) {
      return;
    }
    FClosed = true;
  }
  StopCommands();
  FServer = nullptr;
  FServerOwner.reset();
}

void TServerForm::StopCommands() {
  {
    std::lock_guard<std::mutex> lock(FCommandsMutex);
    FClosing = true;
  }
  if (FData) {
    FData->Interrupt();
  }
  std::list<TCommandThread> threads;
  {
    // Waiting here is waiting for connection and command threads, which never wait for the
    // window thread; an interrupted job ends at its next user boundary.
    std::unique_lock<std::mutex> lock(FCommandsMutex);
    FCommandsDone.wait(lock, [this] { return CommandsIdleLocked(); });
    threads.swap(FCommandThreads);
  }
  for (TCommandThread& t : threads) {
    t.Thread.join();
  }
}

bool TServerForm::CommandsIdleLocked() const {
  return FCommandsRunning == 0 && std::all_of(FCommandThreads.begin(), FCommandThreads.end(),
                                              [](const TCommandThread& t) { return t.Finished; });
}

void TServerForm::AwaitCommands() {
  // A command thread says it has finished, under the lock, only once its lane is empty; a
  // command handed over later starts a thread that is not finished. Both keep the wait going.
  std::unique_lock<std::mutex> lock(FCommandsMutex);
  FCommandsDone.wait(lock, [this] { return CommandsIdleLocked(); });
}

void TServerForm::ResumeCommands() {
  if (FData) {
    FData->Resume();
  }
  std::lock_guard<std::mutex> lock(FCommandsMutex);
  FClosing = false;
}

bool TServerForm::Stopping() {
  std::lock_guard<std::mutex> lock(FCommandsMutex);
  return FClosing;
}

// ---- log and counter ----

void TServerForm::log(std::u16string_view p_sender, std::u16string_view p_message) {
  LogClipped(p_sender, ClipText(p_message, kLogMessageLimit));
}

void TServerForm::LogClipped(std::u16string_view sender, TClippedText message) {
  FWindow.Queue([this, sender = std::u16string(sender),
                 message = LogMessageText(std::move(message))] { AddLogLine(sender, message); });
}

void TServerForm::LogIndented(std::u16string_view before, std::u16string compact) {
  // One procedure for both entries: an echo queues once, and what the connection thread
  // allocated for it is freed in one go on the window thread.
  std::u16string first = LogMessageText(ClipText(before, kLogMessageLimit));
  // A small command is rendered by the window thread, off the connection thread's path to its
  // next message; a large one here, so that the window never spends long on one entry.
  if (compact.size() > kWindowRenderLimit) {
    FWindow.Queue([this, first = std::move(first),
                   rendered = LogMessageText(FormatJSON(compact, kLogMessageLimit))] {
      AddLogLine(u"", first);
      AddLogLine(u"", rendered);
    });
    return;
  }
  FWindow.Queue([this, first = std::move(first), compact = std::move(compact)] {
    AddLogLine(u"", first);
    if (MessagesLog != nullptr) {
      AddLogLine(u"", LogMessageText(FormatJSON(compact, kLogMessageLimit)));
    }
  });
}

void TServerForm::AddLogLine(std::u16string_view sender, std::u16string_view message) {
  if (MessagesLog != nullptr) {
    MessagesLog->AddEntry(MakeLogLine(sender, LogStamp(), message));
  }
}

std::u16string TServerForm::GetNow() const {
  return FormatNow(FClock(), FTimeSeparator);
}

const std::u16string& TServerForm::LogStamp() {
  // A busy log writes many lines a second; the local time of one second is the same text for
  // all of them, so only a new second costs the conversion and the formatting.
  const std::chrono::system_clock::time_point now = FClock();
  const std::int64_t second =
      std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
  if (FStamp.empty() || second != FStampSecond) {
    FStamp = FormatNow(now, FTimeSeparator);
    FStampSecond = second;
  }
  return FStamp;
}

void TServerForm::ShowNumberOfClients(bool p_disconnected) {
  RefreshCount(p_disconnected, nullptr);
}

TServerForm::TPendingLine TServerForm::PendingLine(std::u16string_view sender,
                                                   std::u16string_view message) {
  return {sender, LogMessageText(ClipText(message, kLogMessageLimit))};
}

void TServerForm::RefreshCount(bool p_disconnected, const TConnectionContext* leaving,
                               const TConnectionContext* arriving,
                               std::optional<TPendingLine> before,
                               std::vector<TPendingLine> after) {
  // The lines and the count travel in one procedure: a connection coming or going costs the
  // window thread one hand-over, not one per line.
  auto show = [this, &before, &after](std::int32_t count) {
    FWindow.Queue([this, count, before = std::move(before), after = std::move(after)] {
      if (before) {
        AddLogLine(before->Sender, before->Message);
      }
      if (clients_connected != nullptr) {
        clients_connected->SetText(Decimal(count));
      }
      for (const TPendingLine& line : after) {
        AddLogLine(line.Sender, line.Message);
      }
    });
  };
  TWebSocketServer* server = FServer.load();
  if (server == nullptr) {
    show(0);
    return;
  }
  // A connection stays in the list for a moment after its disconnect handler, so counting the
  // list alone can leave the label at 1 when the last two clients leave together. Connections
  // already known to be leaving are therefore not counted. The refresh is queued while the
  // lock is held, so refreshes run in the order their counts were taken and the label ends with
  // the true count.
  const TContextList::TLocked list = server->Contexts.Lock();
  if (arriving != nullptr) {
    std::erase(FDeparting, arriving);
  }
  std::erase_if(FDeparting, [&](const TConnectionContext* gone) {
    return std::find(list.begin(), list.end(), gone) == list.end();
  });
  if (leaving != nullptr) {
    FDeparting.push_back(leaving);
  }
  std::int32_t count = 0;
  for (const TConnectionContext* context : list) {
    if (std::find(FDeparting.begin(), FDeparting.end(), context) == FDeparting.end()) {
      ++count;
    }
  }
  if (p_disconnected && leaving == nullptr && count > 0) {
    --count;
  }
  show(count);
}

void TServerForm::OnWebSocketConnected(TConnectionContext* AContext) {
  const TSocketHandle& binding = *AContext->Connection->Socket->Binding;
  std::vector<TPendingLine> after;
  after.reserve(2);
  after.push_back(PendingLine(u"SERVER", u"Client Connected!"));
  after.push_back(PendingLine(u"SERVER", u"Port=" + Decimal(binding.Port) + u" (PeerIP=" +
                                             binding.PeerIP + u" - PeerPort=" +
                                             Decimal(binding.PeerPort) + u")"));
  // A new connection may reuse the memory of one that left; it is not leaving.
  RefreshCount(false, nullptr, AContext, PendingLine(u"", u"Client Connected"), std::move(after));
}

void TServerForm::OnWebSocketDisconnected(TConnectionContext* AContext) {
  {
    // Commands it sent still run (others see them); none may touch the connection any more.
    std::lock_guard<std::mutex> lock(FCommandsMutex);
    if (auto lane = FLanes.find(AContext); lane != FLanes.end()) {
      lane->second->Connection = nullptr;
      FLanes.erase(lane);
    }
  }
  RefreshCount(true, AContext, nullptr, PendingLine(u"", u"Client disconnected"));
}

void TServerForm::OnWebSocketOriginRefused(TConnectionContext* AContext,
                                           const std::u16string& origin) {
  // The header is the client's text: it must not break the line or drive a terminal.
  std::u16string shown = origin.substr(0, kOriginLogLimit);
  std::replace_if(
      shown.begin(), shown.end(), [](char16_t c) { return c < u' ' || c == 0x7F; }, u'?');
  if (origin.size() > kOriginLogLimit) {
    shown += u"...";
  }
  const TSocketHandle& binding = *AContext->Connection->Socket->Binding;
  log(u"SERVER", u"Refused with 403, origin not allowed: \"" + shown + u"\" (PeerIP=" +
                     binding.PeerIP + u" - PeerPort=" + Decimal(binding.PeerPort) + u")");
}

// ---- dispatcher ----

void TServerForm::OnWebSocketExecute(TConnectionContext* AContext) {
  TIOHandler& io = *AContext->Connection->IOHandler;
  // The wait only lets bytes arrive; its result is unused. With a message already buffered
  // (the connection loop's liveness check often reads the next one) it would cost 10 ms a
  // message for nothing.
  if (io.InputBufferIsEmpty()) {
    io.CheckForData(10);
  }
  std::u16string text = TWebSocketIOHandlerHelper(io).ReadString();
  if (text.empty()) {
    return;
  }
  const bool large = text.size() * sizeof(char16_t) >= kLargeMessageBytes;
  Dispatch(AContext, std::move(text));
  // A large message's text and document have been freed by now.
  if (large) {
    ReturnFreedMemory();
  }
}

void TServerForm::Dispatch(TConnectionContext* AContext, std::u16string text) {
  std::unique_ptr<TJsonNode> document;
  try {
    document = TJsonNode::ParseTaking(std::move(text));
  } catch (const EJsonError&) {
    return;
  }
  // A blank text gives no document; a top-level array is no command either.
  auto* command = dynamic_cast<TJsonObject*>(document.get());
  if (command == nullptr) {
    return;
  }
  const bool reachesTerminal = ReachesTerminal(*command);
  {
    std::lock_guard<std::mutex> lock(FCommandsMutex);
    if (FClosing) {
      return;
    }
    std::shared_ptr<TLane>& lane = FLanes[AContext];
    if (!lane) {
      lane = std::make_shared<TLane>(TLane{AContext, {}, false, false});
    }
    if (lane->Failed) {
      return;
    }
    if (reachesTerminal || lane->Running) {
      lane->Waiting.push_back(std::move(document));
      if (!lane->Running) {
        StartCommandThreadLocked(lane);
      }
      return;
    }
    ++FCommandsRunning;
  }
  struct TLeave {
    TServerForm& form;
    ~TLeave() {
      {
        std::lock_guard<std::mutex> lock(form.FCommandsMutex);
        --form.FCommandsRunning;
      }
      form.FCommandsDone.notify_all();
    }
  } leave{*this};
  RunCommand(*command);
}

void TServerForm::StartCommandThreadLocked(const std::shared_ptr<TLane>& lane) {
  // Threads that have finished are joined here, so they never pile up; each one has left the
  // lock for good when it says it has finished.
  for (auto it = FCommandThreads.begin(); it != FCommandThreads.end();) {
    if (it->Finished) {
      it->Thread.join();
      it = FCommandThreads.erase(it);
    } else {
      ++it;
    }
  }
  TCommandThread& self = FCommandThreads.emplace_back();
  lane->Running = true;
  try {
    self.Thread = std::thread([this, lane, &self] { RunLane(lane, self); });
  } catch (...) {
    lane->Running = false;
    lane->Waiting.clear();
    FCommandThreads.pop_back();
    throw;  // ends the connection like any failure of its command
  }
}

void TServerForm::RunLane(const std::shared_ptr<TLane>& lane, TCommandThread& self) {
  std::string failure;
  bool failed = false;
  for (;;) {
    std::unique_ptr<TJsonNode> document;
    {
      std::lock_guard<std::mutex> lock(FCommandsMutex);
      if (failed || FClosing || lane->Waiting.empty()) {
        // After a failure the connection ends: what it sent later is never carried out.
        lane->Waiting.clear();
        lane->Running = false;
        lane->Failed = lane->Failed || failed;
        TWebSocketServer* server = FServer.load();
        if (failed && lane->Connection != nullptr && server != nullptr) {
          try {
            server->CloseConnection(lane->Connection, kCloseInvalidData, failure);
          } catch (...) {
            // No memory for the close frame: the connection stays, its command is done with.
          }
        }
        self.Finished = true;
        FCommandsDone.notify_all();
        return;
      }
      document = std::move(lane->Waiting.front());
      lane->Waiting.pop_front();
    }
    try {
      RunCommand(static_cast<TJsonObject&>(*document));
    } catch (const std::exception& e) {
      failed = true;
      failure = e.what();
    } catch (...) {
      failed = true;
    }
  }
}

void TServerForm::RunCommand(TJsonObject& command) {
  const std::u16string act = command.GetString(u"act");
  const std::u16string state = command.GetString(u"state");
  if (act == u"echo") {
    Echo(command, state);
  } else if (act == u"synctodevice") {
    EachDevice(
        command, state, u"sync in progress to:", u"sync in progress to:", u"", CheckSyncUsers,
        [this](const std::u16string& ip, const std::u16string& port, const std::u16string& key,
               TJsonArray* users) { return FData->syncToDevice(ip, port, key, users); });
  } else if (act == u"getfromdevice") {
    GetFromDevice(command, state);
  } else if (act == u"deleteenrolleddata") {
    EachDevice(command, state, u"delete in progress at:", u"Delete in progress at:",
               u"Delete completed: ", CheckEnrolmentDeletions,
               [this](const std::u16string& ip, const std::u16string& port,
                      const std::u16string& key, TJsonArray* users) {
                 return FData->deleteEnrolledDataFromDevice(ip, port, key, users);
               });
  } else if (act == u"deletefptemplate") {
    EachDevice(command, state, u"delete fingerprint in progress at:",
               u"Delete fingerprint in progress at:", u"Delete fingerprint completed: ",
               CheckFingerprintDeletions,
               [this](const std::u16string& ip, const std::u16string& port,
                      const std::u16string& key, TJsonArray* users) {
                 return FData->deleteFingerTemplateFromDevice(ip, port, key, users);
               });
  } else {
    log(u"", StatusMessage(TStatusKind::Finish, state, u"ERROR"));
  }
}

void TServerForm::Echo(TJsonObject& command, const std::u16string& state) {
  const TJsonArray* devices = command.GetArray(u"devices");
  const std::int32_t count = devices != nullptr ? devices->Count() : 0;
  std::u16string compact = command.ToJSON(true);
  // The reply goes out before the log entries are made, so its latency holds none of the log's
  // work; both log entries still describe the command as it arrived.
  if (command.GetValue(u"state2").IsBound()) {
    command.SetString(u"state2", state);
    WebSocketSendDataToClients(command.ToJSON(true));
  } else {
    // Set where it is missing, "state2" becomes the last member (after "devices", which
    // GetArray has made sure of): the reply is the compact command with it appended, written
    // once rather than twice, which counts for a large command. The closing brace comes back
    // afterwards for the log.
    command.SetString(u"state2", state);
    TJsonObject member;
    member.SetString(u"state2", state);
    const std::size_t commandSize = compact.size();
    compact.back() = u',';
    compact.append(member.ToJSON(true), 1);
    WebSocketSendDataToClients(compact);
    compact.resize(commandSize);
    compact.back() = u'}';
  }
  LogIndented(Decimal(count), std::move(compact));
}

void TServerForm::GetFromDevice(TJsonObject& command, const std::u16string& state) {
  const std::u16string ip = command.GetString(u"ip");
  const std::u16string port = command.GetString(u"port");
  const std::u16string key = command.GetString(u"key");
  // Refused here rather than by the job, so that a port or key that does not convert sends no
  // start status without a finish.
  CheckTerminalAddress(port, key);
  log(u"", Concat(u"Fetch in progress from:", ip));
  WebSocketSendDataToClients(
      StatusMessage(TStatusKind::Start, state, Concat(u"Fetching data from:", ip)));
  const TGetFromDeviceResult result = FData->getFromDevice(ip, port, key);
  if (result.document) {
    TJsonObject& users = *result.document;
    WebSocketSendDataToClients(users.ToJSON(true));
    const TJsonArray* list = users.GetArray(u"users");
    const std::int32_t count = list != nullptr ? list->Count() : 0;
    WebSocketSendDataToClients(StatusMessage(
        TStatusKind::Finish, state, u"Fetch completed: " + Decimal(count) + u" total users found"));
    LogClipped(u"", users.ToJSON(false, kLogMessageLimit));
  } else {
    log(u"", result.failure);
    WebSocketSendDataToClients(StatusMessage(TStatusKind::Finish, state, result.failure));
  }
}

template <typename TJob>
void TServerForm::EachDevice(TJsonObject& command, const std::u16string& state,
                             std::u16string_view logText, std::u16string_view startRemark,
                             std::u16string_view finishPrefix, void (*checkUsers)(TJsonArray*),
                             TJob job) {
  const std::unique_ptr<TJsonArray> devices = command.ExtractArray(u"devices");
  const std::unique_ptr<TJsonArray> users = command.ExtractArray(u"users");
  if (!devices) {
    throw ECommandError("Invalid command: \"devices\" holds no array");
  }
  // An invalid entry anywhere in the command must not leave the first terminals written and a
  // start status without its finish: every device entry and every user entry is read, with the
  // readers the jobs use, before anything is logged, sent or touched.
  const std::vector<TDeviceEntry> targets = ReadDeviceEntries(*devices);
  checkUsers(users.get());
  for (const TDeviceEntry& device : targets) {
    // Stopping: the terminal in progress reports its interruption; the ones after it are not
    // started.
    if (Stopping()) {
      break;
    }
    const std::u16string& ip = device.ip;
    log(u"", Concat(logText, ip));
    WebSocketSendDataToClients(StatusMessage(TStatusKind::Start, state, Concat(startRemark, ip)));
    const std::u16string result = job(ip, device.port, device.key, users.get());
    log(u"", result);
    WebSocketSendDataToClients(
        StatusMessage(TStatusKind::Finish, state, Concat(finishPrefix, result)));
  }
}

void TServerForm::WebSocketSendDataToClients(const std::u16string& JsonStr) {
  TWebSocketServer* server = FServer.load();
  if (server == nullptr) {
    return;
  }
  // Encoded once; every connection queues the same bytes and sends them at its client's pace.
  server->SendToAll(std::make_shared<const TBytes>(EncodeTextFrame(JsonStr)));
}

}  // namespace vantorix
