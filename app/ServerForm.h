// TServerForm: the server window as a plain object. It owns the WebSocket listener and the device
// jobs object, writes the operator log and the client counter through the window thread, and is
// the command dispatcher with its broadcast to every client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/LogLine.h"
#include "app/ServerControls.h"
#include "app/WindowThread.h"
#include "device/DeviceJobs.h"
#include "platform/LocalTime.h"
#include "websocket/WebSocketServer.h"

namespace vantorix {

// A command that names no terminal list (or a device entry that is null) where a list of device
// objects is required. Like every error that escapes an act, it ends the connection that carried
// the command.
class ECommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A port number outside 0 to 65535: "Range check error".
class ERangeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Commands: each connection's commands run one after another, in the order they arrived, and
// everything a client sees of them keeps that order. A command that reaches a terminal runs on
// a thread started for that connection while it has such work (and ending when it has none), so
// the connection keeps answering pings and a close meanwhile; a command arriving while one of
// its connection's commands runs waits for it. Other commands run at once on the connection's
// own thread. Commands of different connections run at the same time; jobs to one terminal
// still take turns (TDeviceJobs).
// Stopping (FormClose, start): no command starts any more, the device jobs are interrupted at
// their next user boundary and their finish statuses broadcast, and only then are the
// connections closed (each client gets a close frame 1001). Commands still waiting are dropped.
//
// Threads: the constructor, FormCreate, CreateServer, start, FormClose, the destructor and the
// control fields run on the window thread. log, ShowNumberOfClients, the three connection
// handlers and WebSocketSendDataToClients run on any thread (connection threads, command
// threads) and never wait for the window thread. Procedures queued by the form refer to it: the
// window thread must run every one of them before the form is destroyed.
class TServerForm {
 public:
  using TDeviceJobsFactory = std::function<std::unique_ptr<TDeviceJobs>()>;

  // windowThread must outlive the form. makeDeviceJobs creates FData (the default makes a
  // TDeviceJobs on the network terminal control); clock and timeSeparator give GetNow its time.
  // The listener opens its sockets through socketApi, which must outlive the form.
  explicit TServerForm(TWindowThread& windowThread, TDeviceJobsFactory makeDeviceJobs = {},
                       TClock clock = SystemNow,
                       std::u16string timeSeparator = RegionalTimeSeparator(),
                       TSocketApi& socketApi = PlatformSocketApi());
  // Closes like FormClose when that has not run yet.
  ~TServerForm();
  TServerForm(const TServerForm&) = delete;
  TServerForm& operator=(const TServerForm&) = delete;

  // Creation: CreateServer, then DefaultPort from edPort (text-to-integer conversion, 0 to 65535
  // else "Range check error") and activation on the default bindings (every local IPv4 and,
  // where offered, IPv6 address). Raises the conversion, range or listener error; the listener
  // is then stopped, and FData exists all the same.
  void FormCreate();

  // Creates the device jobs object and then the listener with its three events wired, without
  // activating it. Does nothing for what already exists.
  void CreateServer();

  // "Change": stops the commands (see above) and the listener (every connection closed and
  // awaited), then listens on 127.0.0.1 and port only. Raises the conversion error, "Range
  // check error" or the listener's error; the listener then stays stopped.
  void start(const std::u16string& port);

  // Closing: stops the commands (see above), then clears FServer and destroys the listener,
  // which closes every connection and waits for every connection thread. Idempotent.
  void FormClose();

  // The listener, or nullptr (before CreateServer and from the start of FormClose's teardown).
  TWebSocketServer* Server() const { return FServer.load(); }

  // Queues one log line "[" p_sender "] - " GetNow() ": " p_message to MessagesLog; the time is
  // taken when the line is added on the window thread. A message longer than kLogMessageLimit
  // is cut there and ends with a note of how much was left out. Never waits; reports nothing.
  void log(std::u16string_view p_sender, std::u16string_view p_message);
  // The current local date and time, "yyyy-mm-dd hh:nn:ss" with the regional time separator,
  // followed by ": ".
  std::u16string GetNow() const;
  // Counts the listener's connections under the Contexts lock now and queues showing that
  // count in clients_connected; 0 when there is no listener. Connections whose disconnect
  // handler has run are no longer counted, and p_disconnected leaves out the calling one too.
  // Refreshes are queued in the order their counts were taken. Never waits.
  void ShowNumberOfClients(bool p_disconnected);

  // Listener events, on the connection's own thread.
  void OnWebSocketConnected(TConnectionContext* AContext);
  void OnWebSocketDisconnected(TConnectionContext* AContext);
  // A page the listener's AllowedOrigins does not allow was answered 403: logs one line with
  // the origin (control characters replaced, cut at kOriginLogLimit units) and the peer.
  void OnWebSocketOriginRefused(TConnectionContext* AContext, const std::u16string& origin);
  static constexpr std::size_t kOriginLogLimit = 256;
  // One dispatcher pass: reads at most one message and carries out its command, or hands it to
  // the connection's command thread (see above). An error raised by an act (invalid command
  // members, device job failures) ends the connection with a close frame 1007: raised out of
  // this pass when the command ran here, sent by the command thread otherwise. Commands the
  // connection sent after it are dropped. A device command with an invalid entry anywhere (a
  // device entry, a port or key text, a user record or deletion entry) raises before its first
  // log line, status or terminal call.
  void OnWebSocketExecute(TConnectionContext* AContext);
  // Waits until no command is running and none waits for a command thread, without stopping
  // anything: commands handed over meanwhile are waited for too. Never call it from a connection
  // or command thread (it would wait for itself).
  void AwaitCommands();

  // Sends JsonStr as one text message to every connection whose opening handshake has been
  // answered and which is still connected: encoded once, handed to every connection's send
  // queue under the Contexts lock, never waiting for a client. Reports nothing.
  void WebSocketSendDataToClients(const std::u16string& JsonStr);

  // Window controls; window thread only. Read when a queued procedure runs, not when queued.
  TLogControl* MessagesLog = nullptr;
  TCounterLabel* clients_connected = nullptr;
  // The start-up port text.
  std::u16string edPort = u"8989";

 private:
  // One connection's commands that wait for, or run on, its command thread.
  struct TLane {
    TConnectionContext* Connection;  // nullptr once the connection has left
    std::deque<std::unique_ptr<TJsonNode>> Waiting;
    bool Running = false;  // a command thread works on it
    // A command failed and the connection is being closed: nothing it sent is carried out any
    // more, including a message its thread had read just before the close.
    bool Failed = false;
  };
  struct TCommandThread {
    std::thread Thread;
    bool Finished = false;
  };

  // A log line waiting for the window thread; Sender is a string literal.
  struct TPendingLine {
    std::u16string_view Sender;
    std::u16string Message;  // as LogMessageText makes it
  };
  // The count refresh; leaving, when given, is a connection that is closing and is left out
  // of this and every later count while it is still in the list; arriving, when given, is a
  // new connection, counted even if its memory once held a connection that left. before and
  // after go to the log in the same window procedure as the count, on either side of it.
  void RefreshCount(bool p_disconnected, const TConnectionContext* leaving,
                    const TConnectionContext* arriving = nullptr,
                    std::optional<TPendingLine> before = {}, std::vector<TPendingLine> after = {});
  static TPendingLine PendingLine(std::u16string_view sender, std::u16string_view message);
  // log for a message already cut at kLogMessageLimit (the note is added here).
  void LogClipped(std::u16string_view sender, TClippedText message);
  // Logs `before` as log would, then a command's compact JSON text as its indented rendering,
  // cut like every message, the two entries in one window procedure. Rendered from the compact
  // form, which gives the same rendering as the line form but, unlike it, does not grow with the
  // nesting depth; and only as much as the log keeps.
  void LogIndented(std::u16string_view before, std::u16string compact);
  // Compact texts up to this many units are rendered on the window thread.
  static constexpr std::size_t kWindowRenderLimit = std::size_t{64} << 10;
  // Window thread only: adds one line to MessagesLog, when there is one.
  void AddLogLine(std::u16string_view sender, std::u16string_view message);
  // Window thread only: GetNow's text, formatted once per second of the clock.
  const std::u16string& LogStamp();
  // The rest of a dispatcher pass, for one message's text.
  void Dispatch(TConnectionContext* AContext, std::u16string text);
  // With FCommandsMutex held: starts a command thread for the lane.
  void StartCommandThreadLocked(const std::shared_ptr<TLane>& lane);
  // A command thread: runs the lane's commands until none waits or the form stops.
  void RunLane(const std::shared_ptr<TLane>& lane, TCommandThread& self);
  // No command starts from now on; the device jobs are interrupted; waits until every command
  // in progress has ended.
  void StopCommands();
  // Commands run again.
  void ResumeCommands();
  // With FCommandsMutex held: no command runs on a connection thread and every command thread
  // has finished.
  bool CommandsIdleLocked() const;
  // Whether the form is stopping its commands.
  bool Stopping();
  void RunCommand(TJsonObject& command);
  void Echo(TJsonObject& command, const std::u16string& state);
  void GetFromDevice(TJsonObject& command, const std::u16string& state);
  // synctodevice, deleteenrolleddata and deletefptemplate: one job per device entry, once every
  // device entry and (with checkUsers) every entry of "users" has been read without an error.
  template <typename TJob>
  void EachDevice(TJsonObject& command, const std::u16string& state, std::u16string_view logText,
                  std::u16string_view startRemark, std::u16string_view finishPrefix,
                  void (*checkUsers)(TJsonArray*), TJob job);

  TWindowThread& FWindow;
  TSocketApi& FSocketApi;
  TDeviceJobsFactory FMakeDeviceJobs;
  TClock FClock;
  std::u16string FTimeSeparator;
  // LogStamp's last text and the second it shows; window thread only.
  std::int64_t FStampSecond = 0;
  std::u16string FStamp;

  // FServer is what connection threads see; FServerOwner keeps the listener alive. Teardown
  // clears FServer first, so broadcasts and counts made while the listener closes see none.
  std::unique_ptr<TWebSocketServer> FServerOwner;
  std::atomic<TWebSocketServer*> FServer{nullptr};
  std::unique_ptr<TDeviceJobs> FData;
  // Connections whose disconnect handler has run; guarded by the listener's Contexts lock.
  // Entries go once their connection has left the list.
  std::vector<const TConnectionContext*> FDeparting;

  // Guards what follows.
  std::mutex FCommandsMutex;
  std::condition_variable FCommandsDone;
  int FCommandsRunning = 0;  // commands running on connection threads
  std::unordered_map<const TConnectionContext*, std::shared_ptr<TLane>> FLanes;
  std::list<TCommandThread> FCommandThreads;
  bool FClosing = false;
  bool FClosed = false;
};

}  // namespace vantorix
