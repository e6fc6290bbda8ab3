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
  std::unique_ptr<TConnectionContext> Context;
  std::thread Thread;
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
    if (std::find(leaving.begin(), leaving.end(), context) != leaving.end())
      continue;
    context->FStopRequested = true;
    context->Connection->Disconnect(false);
  }
}

void TCustomTCPServer::ReapFinished() {
  std::list<std::unique_ptr<TConnectionThread>> done;
  {
    std::lock_guard lock(FThreadsLock);
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
  if (done.empty())
    return;
  const std::size_t ended = done.size();
  done.clear();
  bool trim = false;
  {
    std::lock_guard lock(FThreadsLock);
    FEndedSinceTrim += ended;
    // Once every connection has gone, what they held goes back to the system; not after every
    // short connection, which would cost each one a walk over the allocator's lists.
    trim = FThreads.empty() && FEndedSinceTrim >= kTrimAfterConnections;
    if (trim)
      FEndedSinceTrim = 0;
  }
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
  auto record = std::make_unique<TConnectionThread>();
  record->Context =
      std::make_unique<TConnectionContext>(std::make_unique<TTCPConnection>(std::move(handler)));
  TConnectionThread* raw = record.get();
  std::lock_guard lock(FThreadsLock);
  FThreads.push_back(std::move(record));
  try {
    raw->Thread = std::thread([this, raw] {
      ConnectionLoop(raw->Context.get());
      {
        std::lock_guard ended(FThreadsLock);
        raw->Finished = true;
      }
      FThreadEnded.notify_all();
    });
  } catch (...) {
    FThreads.pop_back();
    throw;
  }
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
