// Multi-threaded TCP server: bindings, one listener thread per binding, one thread per accepted
// connection, the list of live connections and the three connection events.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/SocketApi.h"
#include "websocket/IOHandler.h"

namespace vantorix {

// One accepted connection: owns its I/O handler. Socket is the same handler seen as the
// connection's socket (Socket->Binding holds the addresses).
class TTCPConnection {
 public:
  explicit TTCPConnection(std::unique_ptr<TIOHandler> handler);
  TTCPConnection(const TTCPConnection&) = delete;
  TTCPConnection& operator=(const TTCPConnection&) = delete;

  const std::unique_ptr<TIOHandler> IOHandler;
  TIOHandler* const Socket;

  // The handler's Connected(); any thread.
  bool Connected();
  // Closes the handler now; what is still queued for the peer is dropped (ANotifyPeer is
  // accepted for the callers' sake; this system always passes false). Any thread.
  void Disconnect(bool ANotifyPeer = false);
};

// One accepted connection as the events see it. Owns its connection; Binding is the same object
// as Connection->Socket->Binding. Created by a listener thread, released after its thread ended.
class TConnectionContext {
 public:
  explicit TConnectionContext(std::unique_ptr<TTCPConnection> connection);
  TConnectionContext(const TConnectionContext&) = delete;
  TConnectionContext& operator=(const TConnectionContext&) = delete;

  const std::unique_ptr<TTCPConnection> Connection;
  TSocketHandle* const Binding;
  // When the connection was accepted (when its context was made).
  const std::chrono::steady_clock::time_point AcceptedAt;

 private:
  friend class TCustomTCPServer;
  std::atomic<bool> FStopRequested{false};
};

// The live connections with one lock. A context is in the list from just before its connect
// event until just after its disconnect event.
//
// Threading: take the lock with Lock() (RAII) or LockList()/UnlockList() (always paired, on
// every path). While it is held no connection is added or removed. Never wait for a
// connection's thread while holding it.
class TContextList {
 public:
  using TItems = std::vector<TConnectionContext*>;

  class TLocked {
   public:
    explicit TLocked(TContextList& list) : FLock(list.FMutex), FItems(list.FItems) {}
    std::size_t Count() const { return FItems.size(); }
    TConnectionContext* operator[](std::size_t i) const { return FItems[i]; }
    TItems::const_iterator begin() const { return FItems.begin(); }
    TItems::const_iterator end() const { return FItems.end(); }

   private:
    std::lock_guard<std::mutex> FLock;
    const TItems& FItems;
  };

  TLocked Lock() { return TLocked(*this); }
  const TItems& LockList();
  // Takes the lock only if no one holds it, without waiting; true when taken (then release it
  // with UnlockList()). Not for a thread that already holds it.
  bool TryLockList();
  void UnlockList();

 private:
  friend class TCustomTCPServer;
  void Add(TConnectionContext* context);
  void Remove(TConnectionContext* context);

  std::mutex FMutex;
  TItems FItems;
};

// The local endpoints to listen on. Changed only while the server is inactive, on the owner's
// thread.
class TBindings {
 public:
  void Clear() { FItems.clear(); }
  // A new binding: IPv4, IP empty, Port = DefaultPort. The caller may then set IP, Port and
  // IPVersion. The pointer stays valid until Clear() or the server's destruction.
  TSocketHandle* Add();
  std::size_t Count() const { return FItems.size(); }
  TSocketHandle* operator[](std::size_t i) const { return FItems[i].get(); }

 private:
  friend class TCustomTCPServer;
  std::uint16_t FDefaultPort = 0;
  std::vector<std::unique_ptr<TSocketHandle>> FItems;
};

// The TCP server.
//
// A connection's thread, once its execute loop has ended, stops reading and lets what is still
// queued for the peer go out (bounded by the send limits), then closes the socket, and only then
// runs the disconnect event: a close frame queued by the last execute step reaches its client.
//
// A connection thread whose connection has ended waits up to ParkedThreadTimeoutMs for the next
// accepted connection (at most MaxParkedThreads wait at once), then ends: a new connection is
// handed to a waiting thread rather than given a new one. A thread serves one connection at a
// time, from its connect event to its disconnect event. Deactivation ends waiting threads at
// once.
//
// Threading: the owner's thread constructs, activates, deactivates and destroys the server. The
// events and the Do* steps run on each connection's own thread, so events of different
// connections run at the same time. Deactivation blocks the owner until every connection thread
// has ended (at most GoingAwayTimeoutMs for connections asked to leave, plus the time an event
// in progress takes to return); connection threads must never wait for the owner's thread.
// Failure: activation raises TSocketError ("Socket Error # 10048\r\nAddress already in use."
// for a port in use) and leaves the server inactive with no socket open. Errors escaping an
// event end that connection only; nothing is reported.
// Derived classes that override the Do* steps must call SetActive(false) in their own
// destructor, so no connection thread calls into a half-destroyed object.
class TCustomTCPServer {
 public:
  using TContextEvent = std::function<void(TConnectionContext* AContext)>;

  TCustomTCPServer();
  // Uses the given socket layer (a fake in tests); it must outlive the server.
  explicit TCustomTCPServer(TSocketApi& api);
  virtual ~TCustomTCPServer();
  TCustomTCPServer(const TCustomTCPServer&) = delete;
  TCustomTCPServer& operator=(const TCustomTCPServer&) = delete;

  std::uint16_t DefaultPort() const { return Bindings.FDefaultPort; }
  void SetDefaultPort(std::uint16_t port) { Bindings.FDefaultPort = port; }
  bool Active() const { return FActive; }
  // Activation listens on every binding (adding IPv4 and, where offered, IPv6 any-address
  // bindings when there are none) and fills their BoundIP/BoundPort; deactivation stops the
  // listeners, closes every connection and waits for all connection threads. Setting the
  // current value does nothing.
  void SetActive(bool value);

  TBindings Bindings;
  TContextList Contexts;
  TContextEvent OnConnect;
  TContextEvent OnExecute;
  TContextEvent OnDisconnect;

  static constexpr int ListenQueue = 15;
  // How long deactivation gives connections that DoGoingAway asked to leave before it closes
  // them. Set while the server is inactive.
  int GoingAwayTimeoutMs = 2000;
  // How many ended connection threads may wait for a new connection, and for how long. Set
  // while the server is inactive; 0 threads: every connection starts a thread of its own.
  std::size_t MaxParkedThreads = 4;
  int ParkedThreadTimeoutMs = 2000;

 protected:
  // Deactivation calls this for every connection in Contexts, with the Contexts lock held, once
  // the listeners have stopped. True: the connection was asked to leave and ends by itself soon
  // (deactivation waits for it, up to GoingAwayTimeoutMs); false: it is closed at once. The
  // default closes every connection at once.
  virtual bool DoGoingAway(TConnectionContext* AContext);
  virtual void DoConnect(TConnectionContext* AContext);
  // Calls OnExecute, then returns whether the connection is still connected.
  virtual bool DoExecute(TConnectionContext* AContext);
  virtual void DoDisconnect(TConnectionContext* AContext);

 private:
  struct TListener;
  struct TConnectionThread;

  void Activate();
  void Deactivate();
  void ListenerLoop(TListener& listener);
  void ConnectionLoop(TConnectionContext* context);
  // The body of a connection thread: serves record's context, then the ones handed to it while
  // it waits, and marks the record finished.
  void ServeConnections(TConnectionThread& record);
  void StartConnection(std::unique_ptr<TStreamSocket> socket);
  void ReapFinished();
  // Stops every connection thread but those in leaving and closes its connection.
  void StopConnections(const std::vector<TConnectionContext*>& leaving);

  TSocketApi& FApi;
  bool FActive = false;
  std::vector<std::unique_ptr<TListener>> FListeners;
  std::mutex FThreadsLock;  // guards FThreads and the members below it
  std::condition_variable FThreadEnded;
  std::list<std::unique_ptr<TConnectionThread>> FThreads;
  std::vector<TConnectionThread*> FParked;  // threads waiting for a connection, newest last
  std::size_t FConnections = 0;             // connections handed to a thread and not yet ended
  std::size_t FEndedSinceTrim = 0;          // connections ended since memory was last returned
  bool FStopping = false;                   // deactivation has begun: no thread waits any more
};

}  // namespace vantorix
