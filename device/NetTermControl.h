// Our terminal control: drives a terminal over TCP with the terminal link protocol.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "device/TermControl.h"
#include "terminal/LinkChannel.h"
#include "terminal/LinkProtocol.h"

namespace vantorix {

struct TNetTermOptions {
  // Bounds ConnectNet as a whole: TCP connect plus the password exchange.
  std::chrono::milliseconds connectTimeout{3000};
  // Bounds every other exchange while it makes no progress: a terminal that sends nothing for
  // this long fails the operation.
  std::chrono::milliseconds replyTimeout{10000};
};

// Owns its link channel (TCP unless another is given). Not thread-safe (see TTermControl). Never
// throws for terminal or network failures: a refused, dropped or stalled link makes the running
// operation return false with GetLastError giving kLinkErrConnect, kLinkErrLink or
// kLinkErrProtocol, and closes the link, so every later operation fails with kLinkErrNotConnected
// until the next ConnectNet. IPAddress must be a numeric IPv4 or IPv6 address (no name lookup,
// which could not be bounded). The machine number is not sent: one TCP link reaches exactly one
// terminal.
class TNetTermControl : public TTermControl {
 public:
  explicit TNetTermControl(TNetTermOptions options = {},
                           std::unique_ptr<TLinkChannel> channel = nullptr);

  bool SetCommPassword(std::int32_t CommKey) override;
  bool ConnectNet(const std::u16string& IPAddress, std::int32_t Port) override;
  void Disconnect() override;
  bool EnableDevice(std::int32_t MachineNumber, TComBool bFlag) override;
  bool ReadAllUserIDs(std::int32_t MachineNumber) override;
  bool ReadAllTemplates(std::int32_t MachineNumber) override;
  bool GetAllUserInfo(std::int32_t MachineNumber, std::u16string& EnrollNumber,
                      std::u16string& Name, std::u16string& Password, std::int32_t& Privilege,
                      TComBool& Enabled) override;
  bool GetCardNumber(std::u16string& CardNumber) override;
  bool GetUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                       std::int32_t FingerIndex, std::int32_t& Flag, std::u16string& TemplateData,
                       std::int32_t& TemplateLength) override;
  bool SetCardNumber(const std::u16string& CardNumber) override;
  bool SetUserInfo(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                   const std::u16string& Name, const std::u16string& Password,
                   std::int32_t Privilege, TComBool Enabled) override;
  bool SetUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                       std::int32_t FingerIndex, std::int32_t Flag,
                       const std::u16string& TemplateData) override;
  bool DeleteEnrollData(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                        std::int32_t BackupNumber) override;
  bool DeleteUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                          std::int32_t FingerIndex) override;
  bool RefreshData(std::int32_t MachineNumber) override;
  void GetLastError(std::int32_t& dwErrorCode) override;

  bool Connected() const { return fChannel->IsOpen(); }

 private:
  struct TFinger {
    std::int32_t flag = 0;
    std::u16string data;
  };
  using TFingers = std::array<std::optional<TFinger>, kFingerSlots>;

  // One request and its reply. Nothing on a link failure (last error set, link closed).
  // fixedDeadline bounds the whole exchange; without it each wait is bounded by replyTimeout.
  std::optional<TLinkReply> Call(
      const TLinkRequest& request,
      std::optional<std::chrono::steady_clock::time_point> fixedDeadline);
  std::optional<TLinkReply> Call(const TLinkRequest& request);
  // A call whose reply carries only success and the error code.
  bool Simple(const TLinkRequest& request);
  void Drop(std::int32_t errorCode);
  void ClearBuffers();

  TNetTermOptions fOptions;
  std::unique_ptr<TLinkChannel> fChannel;
  TFrameAssembler fFrames;
  std::int32_t fCommKey = 0;
  std::int32_t fLastError = 0;
  std::vector<TLinkUser> fUsers;
  std::size_t fNextUser = 0;
  std::u16string fCurrentCard;
  bool fTemplatesLoaded = false;
  std::unordered_map<std::u16string, TFingers> fTemplates;
  std::optional<std::u16string> fPendingCard;
};

}  // namespace vantorix
