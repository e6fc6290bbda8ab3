// Simulated terminal: accept thread, one thread per link connection, request handling.
#include "terminal/TerminalServer.h"

#include <utility>

namespace vantorix {

namespace {

constexpr std::int32_t kBackupPassword = 10;
constexpr std::int32_t kBackupAllFingers = 11;
constexpr std::int32_t kBackupWholeUser = 12;

bool ValidFinger(std::int32_t finger) {
  return finger >= 0 && finger < kFingerSlots;
}

void Fail(TLinkReply& reply, std::int32_t code) {
  reply.ok = false;
  reply.errorCode = code;
}

}  // namespace

TTerminalServer::TTerminalServer(TTerminalOptions options) : fOptions(std::move(options)) {
  if (!fOptions.storePath.empty()) {
    fStore = TDurableStore(fFiles, fOptions.storePath);
  }
  if (fOptions.demo && fStore.Store().Users().empty()) {
    fStore.Edit(FillDemoUsers);
  }
  // A terminal on a store it cannot write would acknowledge every change and lose it all on the
  // next restart, so it must not run at all. Compacting once is the one reliable test (directory,
  // temporary file, disk space, rename, journal), and every step of it keeps the store loadable.
  // It also moves a store of the earlier file form to the current one.
  try {
    fStore.Compact();
  } catch (const ETerminalStoreError& e) {
    throw ETerminalStoreError("the store " + fOptions.storePath + " cannot be written (" +
                              e.what() + ")");
  }
}

TTerminalServer::~TTerminalServer() {
  Stop();
}

void TTerminalServer::Start() {
  fListener = std::make_unique<TLinkListenSocket>(fOptions.host, fOptions.port);
  fPort = fListener->Port();
  {
    std::lock_guard guard(fLock);
    fStopping = false;
    SaveLocked();
  }
  fAcceptThread = std::thread([this] { AcceptLoop(); });
}

void TTerminalServer::Stop() {
  {
    std::lock_guard guard(fLock);
    fStopping = true;
    for (auto& session : fSessions) {
      session.socket.Shutdown();
    }
  }
  fWake.notify_all();
  if (fListener) {
    fListener->Shutdown();
  }
  if (fAcceptThread.joinable()) {
    fAcceptThread.join();
  }
  // The accept thread is gone, so no session is added any more; join the rest without the lock,
  // since sessions take it to finish.
  std::list<TSession> sessions;
  {
    std::lock_guard guard(fLock);
    sessions.splice(sessions.end(), fSessions);
  }
  for (auto& session : sessions) {
    if (session.thread.joinable()) {
      session.thread.join();
    }
  }
  fListener.reset();
  std::lock_guard guard(fLock);
  SaveLocked();
}

void TTerminalServer::AcceptLoop() {
  for (;;) {
    TLinkSocket socket = fListener->Accept();
    std::lock_guard guard(fLock);
    if (!socket.Valid() || fStopping) {
      return;
    }
    ReapLocked();
    TSession& session = fSessions.emplace_back();
    session.socket = std::move(socket);
    session.thread = std::thread([this, &session] { Serve(session); });
  }
}

void TTerminalServer::ReapLocked() {
  for (auto it = fSessions.begin(); it != fSessions.end();) {
    if (it->done) {
      // A finished session only returns after setting done, so this join is short.
      it->thread.join();
      it = fSessions.erase(it);
    } else {
      ++it;
    }
  }
}

void TTerminalServer::Serve(TSession& session) {
  {
    TLinkSession link(*this);
    std::vector<std::uint8_t> chunk;
    std::vector<std::uint8_t> out;
    bool open = true;
    while (open) {
      chunk.clear();
      if (RecvBlocking(session.socket, chunk) != TIoStatus::kOk) {
        break;
      }
      out.clear();
      open = link.Feed(chunk, out);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      if (!out.empty() && SendAll(session.socket, out, deadline) != TIoStatus::kOk) {
        open = false;
      }
    }
  }
  std::lock_guard guard(fLock);
  // Closed under the lock, so Stop never shuts down a descriptor number that was reused.
  session.socket.Close();
  session.done = true;
}

TTerminalServer::TLinkSession::~TLinkSession() {
  std::lock_guard guard(fServer.fLock);
  if (fDirty) {
    fServer.SaveLocked();
  }
}

bool TTerminalServer::TLinkSession::Feed(std::span<const std::uint8_t> in,
                                         std::vector<std::uint8_t>& out) {
  if (!fOpen) {
    return false;
  }
  fFrames.Feed(in);
  try {
    while (auto body = fFrames.NextView()) {
      TLinkRequest request = DecodeRequest(*body);
      // A connection speaks nothing before its hello has been accepted, and greets only once.
      if (fGreeted == (request.op == TLinkOp::kHello)) {
        return fOpen = false;
      }
      TLinkReply reply;
      if (!fServer.Answer(request, reply, fDirty)) {
        return fOpen = false;
      }
      fServer.WaitAnswerDelay();
      std::vector<std::uint8_t> bytes = EncodeReply(reply);
      if (out.empty()) {
        out = std::move(bytes);  // a bulk reply of megabytes is not copied again
      } else {
        out.insert(out.end(), bytes.begin(), bytes.end());
      }
      if (request.op == TLinkOp::kHello) {
        fGreeted = reply.ok;
        if (!reply.ok) {
          return fOpen = false;
        }
      }
    }
  } catch (const ELinkProtocolError&) {
    return fOpen = false;
  }
  return true;
}

void TTerminalServer::WaitAnswerDelay() {
  std::unique_lock lock(fLock);
  if (fDelay.count() > 0) {
    fWake.wait_for(lock, fDelay, [this] { return fStopping; });
  }
}

bool TTerminalServer::Answer(const TLinkRequest& request, TLinkReply& reply, bool& dirty) {
  std::lock_guard guard(fLock);
  if (fDropAfter) {
    if (*fDropAfter == 0) {
      fDropAfter.reset();
      return false;
    }
    --*fDropAfter;
  }
  ++fRequests;
  reply.op = request.op;
  reply.ok = true;
  reply.errorCode = kLinkOk;
  const std::u16string& number = request.user.enrollNumber;
  switch (request.op) {
    case TLinkOp::kHello:
      if (request.value != fOptions.commKey) {
        Fail(reply, kLinkErrPassword);
      }
      break;
    case TLinkOp::kEnableDevice:
      fEnabled = request.value != 0;
      break;
    case TLinkOp::kReadAllUsers:
      for (const auto& user : fStore.Store().Users()) {
        reply.users.push_back(user.info);
      }
      break;
    case TLinkOp::kReadAllTemplates:
      for (const auto& user : fStore.Store().Users()) {
        for (int f = 0; f < kFingerSlots; ++f) {
          if (const auto& fp = user.fingers[static_cast<std::size_t>(f)]) {
            reply.templates.push_back(TLinkTemplate{user.info.enrollNumber, f, fp->flag, fp->data});
          }
        }
      }
      break;
    case TLinkOp::kGetTemplate: {
      const TStoredUser* user = fStore.Store().Find(number);
      if (!ValidFinger(request.value)) {
        Fail(reply, kLinkErrInvalid);
      } else if (user == nullptr || !user->fingers[static_cast<std::size_t>(request.value)]) {
        Fail(reply, kLinkErrNotFound);
      } else {
        const auto& fp = *user->fingers[static_cast<std::size_t>(request.value)];
        reply.fp = TLinkTemplate{number, request.value, fp.flag, fp.data};
      }
      break;
    }
    case TLinkOp::kSetUser: {
      auto refused = fRefused.find(number);
      if (refused != fRefused.end()) {
        Fail(reply, refused->second);
      } else if (number.empty()) {
        Fail(reply, kLinkErrInvalid);
      } else {
        TLinkUser info = request.user;
        // Without a card in the request an existing user keeps its card.
        if (!request.hasCard) {
          const TStoredUser* existing = fStore.Store().Find(number);
          info.cardNumber = existing ? existing->info.cardNumber : std::u16string();
        }
        fStore.PutUser(info);
        dirty = true;
      }
      break;
    }
    case TLinkOp::kSetTemplate: {
      if (!ValidFinger(request.fp.fingerIndex)) {
        Fail(reply, kLinkErrInvalid);
      } else if (!fStore.SetTemplate(request.fp.enrollNumber, request.fp.fingerIndex,
                                     TStoredTemplate{request.fp.flag, request.fp.data})) {
        Fail(reply, kLinkErrNotFound);
      } else {
        dirty = true;
      }
      break;
    }
    case TLinkOp::kDeleteEnroll: {
      const TStoredUser* user = fStore.Store().Find(number);
      std::int32_t backup = request.value;
      if (fDeleteFails) {
        Fail(reply, *fDeleteFails);
      } else if (user == nullptr) {
        Fail(reply, kLinkErrNotFound);
      } else if (ValidFinger(backup)) {
        if (!fStore.ClearTemplate(number, backup)) {
          Fail(reply, kLinkErrNotFound);
        }
      } else if (backup == kBackupPassword) {
        TLinkUser info = user->info;
        info.password.clear();
        fStore.PutUser(info);
      } else if (backup == kBackupAllFingers) {
        bool any = false;
        for (int f = 0; f < kFingerSlots; ++f) {
          any = fStore.ClearTemplate(number, f) || any;
        }
        // Nothing to delete is not an error, so it carries code 0.
        if (!any) {
          Fail(reply, kLinkOk);
        }
      } else if (backup == kBackupWholeUser) {
        fStore.RemoveUser(number);
      } else {
        Fail(reply, kLinkErrInvalid);
      }
      if (reply.ok) {
        dirty = true;
      }
      break;
    }
    case TLinkOp::kDeleteTemplate: {
      if (fDeleteFails) {
        Fail(reply, *fDeleteFails);
      } else if (!ValidFinger(request.value)) {
        Fail(reply, kLinkErrInvalid);
      } else if (!fStore.ClearTemplate(number, request.value)) {
        Fail(reply, kLinkErrNotFound);
      } else {
        dirty = true;
      }
      break;
    }
    case TLinkOp::kRefresh:
      SaveLocked();
      if (fStore.Dirty()) {
        Fail(reply, kLinkErrStorage);
      }
      break;
  }
  return true;
}

void TTerminalServer::SaveLocked() {
  if (fFailSaves) {
    return;
  }
  try {
    fStore.Commit();
  } catch (const ETerminalStoreError&) {
    // Stays dirty; the next refresh, session end or stop tries again and RefreshData reports it.
  }
}

void TTerminalServer::RefuseUser(const std::u16string& enrollNumber, std::int32_t errorCode) {
  std::lock_guard guard(fLock);
  fRefused[enrollNumber] = errorCode;
}

void TTerminalServer::FailDeletions(std::optional<std::int32_t> errorCode) {
  std::lock_guard guard(fLock);
  fDeleteFails = errorCode;
}

void TTerminalServer::DropAfter(int n) {
  std::lock_guard guard(fLock);
  fDropAfter = n;
}

void TTerminalServer::DelayAnswers(std::chrono::milliseconds delay) {
  std::lock_guard guard(fLock);
  fDelay = delay;
}

void TTerminalServer::FailSaves(bool fail) {
  std::lock_guard guard(fLock);
  fFailSaves = fail;
}

void TTerminalServer::ClearFaults() {
  std::lock_guard guard(fLock);
  fFailSaves = false;
  fRefused.clear();
  fDeleteFails.reset();
  fDropAfter.reset();
  fDelay = std::chrono::milliseconds(0);
}

TTerminalStore TTerminalServer::Snapshot() const {
  std::lock_guard guard(fLock);
  return fStore.Store();
}

void TTerminalServer::Edit(const std::function<void(TTerminalStore&)>& change) {
  std::lock_guard guard(fLock);
  fStore.Edit(change);
  SaveLocked();
}

bool TTerminalServer::IsEnabled() const {
  std::lock_guard guard(fLock);
  return fEnabled;
}

int TTerminalServer::OpenSessions() const {
  std::lock_guard guard(fLock);
  int n = 0;
  for (const auto& session : fSessions) {
    n += session.done ? 0 : 1;
  }
  return n;
}

long TTerminalServer::RequestCount() const {
  std::lock_guard guard(fLock);
  return fRequests;
}

}  // namespace vantorix
