// Network terminal control: request/reply exchanges over one TCP link, with local buffers for
// the bulk reads.
#include "device/NetTermControl.h"

#include <utility>

#include "net/SocketErrors.h"

namespace vantorix {

namespace {

using TClock = std::chrono::steady_clock;

bool ValidFinger(std::int32_t finger) {
  return finger >= 0 && finger < kFingerSlots;
}

// A deletion of one user's data: the enrolment number, and the backup number or finger index.
TLinkRequest UserDeletion(TLinkOp op, const std::u16string& enrollNumber, std::int32_t value) {
  TLinkRequest request;
  request.op = op;
  request.user.enrollNumber = enrollNumber;
  request.value = value;
  return request;
}

}  // namespace

TNetTermControl::TNetTermControl(TNetTermOptions options, std::unique_ptr<TLinkChannel> channel)
    : fOptions(options),
      fChannel(channel ? std::move(channel) : std::make_unique<TSocketChannel>()) {}

void TNetTermControl::Drop(std::int32_t errorCode) {
  fChannel->Close();
  fFrames = TFrameAssembler();
  fLastError = errorCode;
}

void TNetTermControl::ClearBuffers() {
  fUsers.clear();
  fNextUser = 0;
  fCurrentCard.clear();
  fTemplatesLoaded = false;
  fTemplates.clear();
  fPendingCard.reset();
}

std::optional<TLinkReply> TNetTermControl::Call(const TLinkRequest& request) {
  return Call(request, std::nullopt);
}

std::optional<TLinkReply> TNetTermControl::Call(const TLinkRequest& request,
                                                std::optional<TClock::time_point> fixedDeadline) {
  // Without a fixed deadline the reply time-out bounds each wait for progress, so a large reply
  // over a slow link is not cut off while bytes keep arriving; a silent terminal still is.
  auto deadline = [&] {
    return fixedDeadline ? *fixedDeadline : TClock::now() + fOptions.replyTimeout;
  };
  if (!fChannel->IsOpen()) {
    fLastError = kLinkErrNotConnected;
    return std::nullopt;
  }
  if (fChannel->Send(EncodeRequest(request), deadline()) != TIoStatus::kOk) {
    Drop(kLinkErrLink);
    return std::nullopt;
  }
  try {
    for (;;) {
      if (auto body = fFrames.NextView()) {
        TLinkReply reply = DecodeReply(*body);
        // Replies come strictly in request order; anything else means the link is out of step.
        if (reply.op != request.op || !fFrames.Empty()) {
          Drop(kLinkErrProtocol);
          return std::nullopt;
        }
        fLastError = reply.ok ? kLinkOk : reply.errorCode;
        return reply;
      }
      const TIoStatus status = fFrames.FeedFrom(
          [&](std::vector<std::uint8_t>& buffer) { return fChannel->Receive(buffer, deadline()); });
      if (status != TIoStatus::kOk) {
        Drop(kLinkErrLink);
        return std::nullopt;
      }
    }
  } catch (const ELinkProtocolError&) {
    Drop(kLinkErrProtocol);
    return std::nullopt;
  }
}

bool TNetTermControl::Simple(const TLinkRequest& request) {
  auto reply = Call(request);
  return reply && reply->ok;
}

bool TNetTermControl::SetCommPassword(std::int32_t CommKey) {
  fCommKey = CommKey;
  return true;
}

bool TNetTermControl::ConnectNet(const std::u16string& IPAddress, std::int32_t Port) {
  Disconnect();
  std::string host;
  for (char16_t unit : IPAddress) {
    if (unit == 0 || unit > 0x7F) {
      fLastError = kLinkErrInvalid;
      return false;
    }
    host.push_back(static_cast<char>(unit));
  }
  if (Port <= 0 || Port > 65535) {
    fLastError = kLinkErrInvalid;
    return false;
  }
  auto deadline = TClock::now() + fOptions.connectTimeout;
  int error = fChannel->Open(host, static_cast<std::uint16_t>(Port), fOptions.connectTimeout);
  if (error != 0) {
    fLastError = error == kWsaEAddrNotAvail ? kLinkErrInvalid : kLinkErrConnect;
    return false;
  }
  TLinkRequest hello;
  hello.op = TLinkOp::kHello;
  hello.value = fCommKey;
  auto reply = Call(hello, deadline);
  if (!reply) {
    fLastError = kLinkErrConnect;
    return false;
  }
  if (!reply->ok) {
    Drop(reply->errorCode);
    return false;
  }
  return true;
}

void TNetTermControl::Disconnect() {
  fChannel->Close();
  fFrames = TFrameAssembler();
  ClearBuffers();
}

bool TNetTermControl::EnableDevice(std::int32_t, TComBool bFlag) {
  TLinkRequest request;
  request.op = TLinkOp::kEnableDevice;
  request.value = bFlag != 0 ? 1 : 0;
  return Simple(request);
}

bool TNetTermControl::ReadAllUserIDs(std::int32_t) {
  fUsers.clear();
  fNextUser = 0;
  TLinkRequest request;
  request.op = TLinkOp::kReadAllUsers;
  auto reply = Call(request);
  if (!reply || !reply->ok) {
    return false;
  }
  fUsers = std::move(reply->users);
  return true;
}

bool TNetTermControl::ReadAllTemplates(std::int32_t) {
  fTemplates.clear();
  fTemplatesLoaded = false;
  TLinkRequest request;
  request.op = TLinkOp::kReadAllTemplates;
  auto reply = Call(request);
  if (!reply || !reply->ok) {
    return false;
  }
  for (auto& fp : reply->templates) {
    if (ValidFinger(fp.fingerIndex)) {
      fTemplates[fp.enrollNumber][static_cast<std::size_t>(fp.fingerIndex)] =
          TFinger{fp.flag, std::move(fp.data)};
    }
  }
  fTemplatesLoaded = true;
  return true;
}

bool TNetTermControl::GetAllUserInfo(std::int32_t, std::u16string& EnrollNumber,
                                     std::u16string& Name, std::u16string& Password,
                                     std::int32_t& Privilege, TComBool& Enabled) {
  EnrollNumber.clear();
  Name.clear();
  Password.clear();
  if (fNextUser >= fUsers.size()) {
    fCurrentCard.clear();
    fLastError = kLinkErrNotFound;
    return false;
  }
  const TLinkUser& user = fUsers[fNextUser++];
  EnrollNumber = user.enrollNumber;
  Name = user.name;
  Password = user.password;
  Privilege = user.privilege;
  Enabled = user.enabled ? kComTrue : kComFalse;
  fCurrentCard = user.cardNumber;
  fLastError = kLinkOk;
  return true;
}

bool TNetTermControl::GetCardNumber(std::u16string& CardNumber) {
  CardNumber = fCurrentCard;
  return true;
}

bool TNetTermControl::GetUserTemplate(std::int32_t, const std::u16string& EnrollNumber,
                                      std::int32_t FingerIndex, std::int32_t& Flag,
                                      std::u16string& TemplateData, std::int32_t& TemplateLength) {
  TemplateData.clear();
  if (!ValidFinger(FingerIndex)) {
    fLastError = kLinkErrInvalid;
    return false;
  }
  if (fTemplatesLoaded) {
    auto it = fTemplates.find(EnrollNumber);
    if (it == fTemplates.end() || !it->second[static_cast<std::size_t>(FingerIndex)]) {
      fLastError = kLinkErrNotFound;
      return false;
    }
    const TFinger& finger = *it->second[static_cast<std::size_t>(FingerIndex)];
    Flag = finger.flag;
    TemplateData = finger.data;
    TemplateLength = static_cast<std::int32_t>(finger.data.size());
    fLastError = kLinkOk;
    return true;
  }
  TLinkRequest request;
  request.op = TLinkOp::kGetTemplate;
  request.user.enrollNumber = EnrollNumber;
  request.value = FingerIndex;
  auto reply = Call(request);
  if (!reply || !reply->ok) {
    return false;
  }
  Flag = reply->fp.flag;
  TemplateData = std::move(reply->fp.data);
  TemplateLength = static_cast<std::int32_t>(TemplateData.size());
  return true;
}

bool TNetTermControl::SetCardNumber(const std::u16string& CardNumber) {
  fPendingCard = CardNumber;
  return true;
}

bool TNetTermControl::SetUserInfo(std::int32_t, const std::u16string& EnrollNumber,
                                  const std::u16string& Name, const std::u16string& Password,
                                  std::int32_t Privilege, TComBool Enabled) {
  TLinkRequest request;
  request.op = TLinkOp::kSetUser;
  request.user = TLinkUser{EnrollNumber, Name, Password, Privilege, Enabled != 0, {}};
  // The pending card belongs to this user only; it must not carry over to the next one.
  if (fPendingCard) {
    request.hasCard = true;
    request.user.cardNumber = std::move(*fPendingCard);
    fPendingCard.reset();
  }
  fTemplatesLoaded = false;
  return Simple(request);
}

bool TNetTermControl::SetUserTemplate(std::int32_t, const std::u16string& EnrollNumber,
                                      std::int32_t FingerIndex, std::int32_t Flag,
                                      const std::u16string& TemplateData) {
  TLinkRequest request;
  request.op = TLinkOp::kSetTemplate;
  request.fp = TLinkTemplate{EnrollNumber, FingerIndex, Flag, TemplateData};
  fTemplatesLoaded = false;
  return Simple(request);
}

bool TNetTermControl::DeleteEnrollData(std::int32_t, const std::u16string& EnrollNumber,
                                       std::int32_t BackupNumber) {
  fTemplatesLoaded = false;
  return Simple(UserDeletion(TLinkOp::kDeleteEnroll, EnrollNumber, BackupNumber));
}

bool TNetTermControl::DeleteUserTemplate(std::int32_t, const std::u16string& EnrollNumber,
                                         std::int32_t FingerIndex) {
  fTemplatesLoaded = false;
  return Simple(UserDeletion(TLinkOp::kDeleteTemplate, EnrollNumber, FingerIndex));
}

bool TNetTermControl::RefreshData(std::int32_t) {
  TLinkRequest request;
  request.op = TLinkOp::kRefresh;
  return Simple(request);
}

void TNetTermControl::GetLastError(std::int32_t& dwErrorCode) {
  dwErrorCode = fLastError;
}

}  // namespace vantorix
