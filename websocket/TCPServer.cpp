// TCP server: activation, listener threads, connection threads and deactivation.
#include "websocket/TCPServer.h"

#include <algorithm>

#include "platform/Memory.h"

namespace vantorix {
namespace {

constexpr int kAcceptPollMs = 250;
// Connections that must have ended before the listener returns freed memory to the system.
constexpr std::size_t kTrimAfterConnections = 64;

// Runs a callable when the scope ends, also by an exception.
template <typename F>
class TFinally {
 public:
  explicit TFinally(F f) : FF(std::move(f)) {}
  ~TFinally() { FF(); }
  TFinally(const TFinally&) = delete;
  TFinally& operator=(const TFinally&) = delete;

 private:
  F FF;
};

}  // namespace

struct TCustomTCPServer::TListener {
  std::unique_ptr<TListenSocket> Socket;
  std::atomic<bool> Stop{false};
  std::thread Thread;
};

struct TCustomTCPServer::TConnectionThread {
  std::unique_ptr<TConnectionContext> Context;  // null while the thread waits for one
  std::thread Thread;
  std::condition_variable Handed;  // a context was handed to the thread, or deactivation began
  std::atomic<bool> Finished{false};
};

TTCPConnection::TTCPConnection(std::unique_ptr<TIOHandler> handler)
    : IOHandler(std::move(handler)), Socket(IOHandler.get()) {}

bool TTCPConnection::Connected() {
  return IOHandler != nullptr && IOHandler->Connected();
}

void TTCPConnection::Disconnect(bool) {
  // Also when reading has ended already: a connection still sending its last bytes stops now.
  if (IOHandler != nullptr)
    IOHandler->Close();
}

TConnectionContext::TConnectionContext(std::unique_ptr<TTCPConnection> connection)
    : Connection(std::move(connection)),
      Binding(Connection->Socket->Binding),
      AcceptedAt(std::chrono::steady_clock::now()) {}

const TContextList::TItems& TContextList::LockList() {
  FMutex.lock();
  return FItems;
}

bool TContextList::TryLockList() {
  return FMutex.try_lock();
}

void TContextList::UnlockList() {
  FMutex.unlock();
}

void TContextList::Add(TConnectionContext* context) {
  std::lock_guard lock(FMutex);
  FItems.push_back(context);
}

void TContextList::Remove(TConnectionContext* context) {
  std::lock_guard lock(FMutex);
  FItems.erase(std::remove(FItems.begin(), FItems.end(), context), FItems.end());
}

TSocketHandle* TBindings::Add() {
  auto handle = std::make_unique<TSocketHandle>();
  handle->Port = FDefaultPort;
  FItems.push_back(std::move(handle));
  return FItems.back().get();
}

TCustomTCPServer::TCustomTCPServer() : TCustomTCPServer(PlatformSocketApi()) {}

TCustomTCPServer::TCustomTCPServer(TSocketApi& api) : FApi(api) {}

TCustomTCPServer::~TCustomTCPServer() {
  SetActive(false);
}

void TCustomTCPServer::SetActive(bool value) {
  if (value == FActive)
    return;
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
}

void TCustomTCPServer::Activate() {
  if (Bindings.Count() == 0) {
    Bindings.Add();
    if (FApi.HasIPv6())
      Bindings.Add()->IPVersion = TIPVersion::IPv6;
  }
  {
    std::lock_guard lock(FThreadsLock);
    FStopping = false;
  }
  try {
    // Open and bind every socket first, listen on them afterwards; a failure releases every
    // socket opened here (the listeners' destructors close them).
    for (std::size_t i = 0; i < Bindings.Count(); ++i) {
      TSocketHandle& binding = *Bindings[i];
      auto listener = std::make_unique<TListener>();
      listener->Socket = FApi.OpenListener(binding.IPVersion);
      listener->Socket->Bind(binding.IP, binding.Port);
      FListeners.push_back(std::move(listener));
    }
    for (std::size_t i = 0; i < FListeners.size(); ++i) {
      TListener& listener = *FListeners[i];
      listener.Socket->Listen(ListenQueue);
      const TSocketAddress bound = listener.Socket->LocalAddress();
      Bindings[i]->BoundIP = bound.IP;
      Bindings[i]->BoundPort = bound.Port;
      listener.Thread = std::thread([this, &listener] { ListenerLoop(listener); });
    }
  } catch (...) {
    Deactivate();
    throw;
  }
  FActive = true;
}

void TCustomTCPServer::Deactivate() {
  FActive = false;
  for (auto& listener : FListeners) {
    listener->Stop = true;
    listener->Socket->Close();
    if (listener->Thread.joinable())
      listener->Thread.join();
  }
  FListeners.clear();
  {
    // Waiting threads end now; threads whose connection ends from here on end with it.
    std::lock_guard lock(FThreadsLock);
    FStopping = true;
    for (TConnectionThread* t : FParked)
      t->Handed.notify_one();
  }
  for (std::size_t i = 0; i < Bindings.Count(); ++i) {
    Bindings[i]->BoundIP.clear();
    Bindings[i]->BoundPort = 0;
  }
  // Connections that can say goodbye are asked to (a close frame, say) and given a moment to
  // end by themselves; every other one is stopped and closed at once, without the Contexts lock:
  // a thread holding that lock while it waits on a stalled peer is woken by the close instead of
  // being waited for.
  std::vector<TConnectionContext*> leaving;
  {
    auto list = Contexts.Lock();
    for (TConnectionContext* context : list) {
      if (DoGoingAway(context))
        leaving.push_back(context);
    }
  }
  StopConnections(leaving);
  if (!leaving.empty()) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(GoingAwayTimeoutMs);
    std::unique_lock lock(FThreadsLock);
    FThreadEnded.wait_until(lock, deadline, [this] {
      return std::all_of(FThreads.begin(), FThreads.end(),
                         [](const auto& t) { return t->Finished.load(); });
    });
  }
  StopConnections({});
  {
    auto list = Contexts.Lock();
    for (TConnectionContext* context : list)
      context->Connection->Disconnect(false);
  }
  // No listener runs any more, so no thread is added; wait for all of them, however long an
  // event takes.
  std::list<std::unique_ptr<TConnectionThread>> threads;
  {
    std::lock_guard lock(FThreadsLock);
    threads.swap(FThreads);
  }
  for (auto& t : threads) {
    if (t->Thread.joinable())
      t->Thread.join();
  }
}

void TCustomTCPServer::StopConnections(const std::vector<TConnectionContext*>& leaving) {
  std::lock_guard lock(FThreadsLock);
  for (auto& t : FThreads) {
    TConnectionContext* context = t->Context.get();
    if (context == nullptr)
      continue;
    if (std::find(leaving.begin(), leaving.end(), context) != leaving.end())
      continue;
    context->FStopRequested = true;
    context->Connection->Disconnect(false);
  }
}

void TCustomTCPServer::ReapFinished() {
  std::list<std::unique_ptr<TConnectionThread>> done;
  bool trim = false;
  {
    std::lock_guard lock(FThreadsLock);
    // Once every connection has gone, what they held goes back to the system; not after every
    // short connection, which would cost each one a walk over the allocator's lists. Threads
    // waiting for a connection hold none of it.
    trim = FConnections == 0 && FEndedSinceTrim >= kTrimAfterConnections;
    if (trim)
      FEndedSinceTrim = 0;
    for (auto it = FThreads.begin(); it != FThreads.end();) {
      if ((*it)->Finished) {
        auto next = std::next(it);
        done.splice(done.end(), FThreads, it);
        it = next;
      } else {
        ++it;
      }
    }
  }
  for (auto& t : done) {
    if (t->Thread.joinable())
      t->Thread.join();
  }
  done.clear();
  if (trim)
    ReturnFreedMemory();
}

void TCustomTCPServer::ListenerLoop(TListener& listener) {
  while (!listener.Stop) {
    std::unique_ptr<TStreamSocket> socket = listener.Socket->Accept(kAcceptPollMs);
    if (socket != nullptr) {
      if (listener.Stop)
        break;  // the socket closes on leaving
      try {
        StartConnection(std::move(socket));
      } catch (...) {
        // A connection that cannot be set up (out of threads or memory) is dropped; the
        // listener goes on.
      }
    }
    // Ended threads are joined after the new connection's thread has started, not before its
    // accept: the join (and the memory it may return) is then off the client's way to its
    // answer.
    ReapFinished();
  }
}

void TCustomTCPServer::StartConnection(std::unique_ptr<TStreamSocket> socket) {
  const TSocketAddress local = socket->LocalAddress();
  const TSocketAddress peer = socket->PeerAddress();
  auto handler = std::make_unique<TIOHandler>(std::move(socket));
  handler->Binding->IP = local.IP;
  handler->Binding->Port = local.Port;
  handler->Binding->IPVersion = local.Version;
  handler->Binding->PeerIP = peer.IP;
  handler->Binding->PeerPort = peer.Port;
  auto context =
      std::make_unique<TConnectionContext>(std::make_unique<TTCPConnection>(std::move(handler)));
  std::unique_lock lock(FThreadsLock);
  if (!FParked.empty()) {
    // The thread that waited least is handed the connection: its stack is the likeliest to be
    // still in the caches. It cannot end before the notification below: only this thread reaps.
    TConnectionThread* waiting = FParked.back();
    FParked.pop_back();
    waiting->Context = std::move(context);
    ++FConnections;
    lock.unlock();
    waiting->Handed.notify_one();
    return;
  }
  auto record = std::make_unique<TConnectionThread>();
  record->Context = std::move(context);
  TConnectionThread* raw = record.get();
  FThreads.push_back(std::move(record));
  ++FConnections;
  try {
    raw->Thread = std::thread([this, raw] { ServeConnections(*raw); });
  } catch (...) {
    --FConnections;
    FThreads.pop_back();
    throw;
  }
}

void TCustomTCPServer::ServeConnections(TConnectionThread& record) {
  std::unique_lock lock(FThreadsLock);
  for (;;) {
    TConnectionContext* context = record.Context.get();
    lock.unlock();
    ConnectionLoop(context);
    lock.lock();
    // The context goes before the connection counts as ended, so that a trim once the last
    // connection has gone finds its memory freed. Deactivation skips a record without one.
    std::unique_ptr<TConnectionContext> ended = std::move(record.Context);
    lock.unlock();
    ended.reset();
    lock.lock();
    --FConnections;
    ++FEndedSinceTrim;
    if (FStopping || FParked.size() >= MaxParkedThreads)
      break;
    FParked.push_back(&record);
    record.Handed.wait_for(lock, std::chrono::milliseconds(ParkedThreadTimeoutMs),
                           [&] { return record.Context != nullptr || FStopping; });
    if (record.Context == nullptr) {
      FParked.erase(std::remove(FParked.begin(), FParked.end(), &record), FParked.end());
      break;
    }
  }
  record.Finished = true;
  lock.unlock();
  FThreadEnded.notify_all();
}

void TCustomTCPServer::ConnectionLoop(TConnectionContext* context) {
  try {
    Contexts.Add(context);
    TFinally leave([this, context] {
      // What the last steps queued (a close frame, say) goes out before the socket closes; a
      // peer that does not take it is given up after the send limits.
      TIOHandler& io = *context->Connection->IOHandler;
      io.CloseWhenSent();
      io.WaitClosed();
      try {
        DoDisconnect(context);
      } catch (...) {
        // An error of the disconnect event ends nothing more than this connection.
      }
      Contexts.Remove(context);
    });
    DoConnect(context);
    while (!context->FStopRequested) {
      if (!DoExecute(context))
        break;
    }
  } catch (...) {
    // An error escaping an event ends this connection only; nothing is reported.
  }
  context->Connection->Disconnect(false);
}

bool TCustomTCPServer::DoGoingAway(TConnectionContext*) {
  return false;
}

void TCustomTCPServer::DoConnect(TConnectionContext* AContext) {
  if (OnConnect)
    OnConnect(AContext);
}

bool TCustomTCPServer::DoExecute(TConnectionContext* AContext) {
  if (OnExecute)
    OnExecute(AContext);
  return AContext->Connection != nullptr && AContext->Connection->Connected();
}

void TCustomTCPServer::DoDisconnect(TConnectionContext* AContext) {
  if (OnDisconnect)
    OnDisconnect(AContext);
}

}  // namespace vantorix
