// vantorix-terminal's engine: a simulated terminal that answers the terminal link protocol on a
// TCP port, one thread per connection, with a store file and fault injection for tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "terminal/DurableStore.h"
#include "terminal/LinkSocket.h"
#include "terminal/StoreFiles.h"
#include "terminal/TerminalStore.h"

namespace vantorix {

struct TTerminalOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 4370;  // 0 picks a free port
  std::int32_t commKey = 0;
  std::string storePath;  // empty: the store lives in memory only
  bool demo = false;      // fill an empty store with demo users
};

// Threading: every public method may be called from any thread while the server runs.
// Start binds and starts the accept thread; Stop (also run by the destructor) wakes and joins
// every thread the server started and saves unsaved changes.
class TTerminalServer {
 public:
  // Loads the store (missing: empty) and compacts it once. Throws ETerminalStoreError on a
  // corrupt store and on one that cannot be written (the files are then left as they were).
  explicit TTerminalServer(TTerminalOptions options);
  ~TTerminalServer();
  TTerminalServer(const TTerminalServer&) = delete;
  TTerminalServer& operator=(const TTerminalServer&) = delete;

  // Throws ELinkSocketError when the address cannot be bound.
  void Start();
  void Stop();
  // The bound port once Start returned (kept after Stop).
  std::uint16_t Port() const { return fPort.load(); }
  const std::string& Host() const { return fOptions.host; }

  // Fault injection; each holds until changed or ClearFaults.
  // SetUser of this enrolment number is refused with this error code.
  void RefuseUser(const std::u16string& enrollNumber, std::int32_t errorCode);
  // With a code, every deletion answers false with that code (0 included) and deletes nothing;
  // nullopt switches it off.
  void FailDeletions(std::optional<std::int32_t> errorCode);
  // After n more answered requests (over all connections) the connection carrying the next
  // request is closed without an answer. Fires once.
  void DropAfter(int n);
  // Every answer waits this long before it is sent.
  void DelayAnswers(std::chrono::milliseconds delay);
  // While on, every save fails as on a full disk: Refresh answers kLinkErrStorage and the
  // changes stay in memory until a save succeeds.
  void FailSaves(bool fail);
  void ClearFaults();

  // The byte side of one session without a socket: what a connection thread runs, usable by an
  // in-memory link. One caller at a time per session; any number of sessions may run at once.
  class TLinkSession {
   public:
    explicit TLinkSession(TTerminalServer& server) : fServer(server) {}
    // Makes what the session changed durable, as at the end of a connection.
    ~TLinkSession();
    TLinkSession(const TLinkSession&) = delete;
    TLinkSession& operator=(const TLinkSession&) = delete;
    // Takes received bytes and appends the replies to send to out. False once the connection
    // must close (after out has been sent).
    bool Feed(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);

   private:
    TTerminalServer& fServer;
    TFrameAssembler fFrames;
    bool fGreeted = false;
    bool fDirty = false;
    bool fOpen = true;
  };

  // Inspection and set-up for tests.
  TTerminalStore Snapshot() const;
  void Edit(const std::function<void(TTerminalStore&)>& change);
  bool IsEnabled() const;
  int OpenSessions() const;
  // Requests answered since start, hellos included.
  long RequestCount() const;

 private:
  struct TSession {
    TLinkSocket socket;
    std::thread thread;
    bool done = false;  // guarded by fLock
  };

  void AcceptLoop();
  void Serve(TSession& session);
  // Runs one request; false when the connection must close without an answer.
  bool Answer(const TLinkRequest& request, TLinkReply& reply, bool& dirty);
  void SaveLocked();
  void WaitAnswerDelay();
  void ReapLocked();

  TTerminalOptions fOptions;
  std::unique_ptr<TLinkListenSocket> fListener;
  std::atomic<std::uint16_t> fPort{0};
  std::thread fAcceptThread;

  mutable std::mutex fLock;
  std::condition_variable fWake;
  bool fStopping = false;
  TSystemStoreFiles fFiles;
  TDurableStore fStore;
  bool fEnabled = true;
  long fRequests = 0;
  std::list<TSession> fSessions;
  std::map<std::u16string, std::int32_t> fRefused;
  std::optional<std::int32_t> fDeleteFails;
  std::optional<int> fDropAfter;
  std::chrono::milliseconds fDelay{0};
  bool fFailSaves = false;
};

}  // namespace vantorix
