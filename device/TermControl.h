// The terminal control: the sixteen operations the device connection uses to drive a terminal.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vantorix {

// Boolean as the control passes it in arguments: 0 is false, any other value true; the control
// itself passes true as kComTrue.
using TComBool = std::int16_t;
inline constexpr TComBool kComTrue = -1;
inline constexpr TComBool kComFalse = 0;

// A failure of the control itself rather than of the terminal: a control that cannot be created
// or lacks a method, a call the control's component system refused, an exception the control
// raised. what() is the UTF-8 message, naming the control and the operation.
class ETermControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One control holds at most one connection to one terminal and keeps state between calls: the
// user and template buffers filled by the bulk reads, the pending card number and the last error
// code. Results documented as "ignored" are reported truthfully but callers need not test them.
//
// Out texts are cleared and then filled; ref arguments are read and written.
// Threading: not thread-safe; one caller at a time (the device connection serialises jobs).
// Failure: a false result is the normal failure report, with GetLastError giving the code.
// An implementation may raise ETermControlError for a failure of the control itself (a COM
// status, for instance); the network control never does.
class TTermControl {
 public:
  virtual ~TTermControl() = default;

  // Password used by the next ConnectNet.
  virtual bool SetCommPassword(std::int32_t CommKey) = 0;
  // True: connected and the password was accepted.
  virtual bool ConnectNet(const std::u16string& IPAddress, std::int32_t Port) = 0;
  virtual void Disconnect() = 0;
  // bFlag false locks the terminal's own keypad and reader during bulk work; true unlocks it.
  virtual bool EnableDevice(std::int32_t MachineNumber, TComBool bFlag) = 0;
  // Loads every user into the user buffer and starts GetAllUserInfo at the first one.
  // True also for a terminal without users; false only when the terminal could not be read.
  virtual bool ReadAllUserIDs(std::int32_t MachineNumber) = 0;
  // Loads every template into the template buffer that GetUserTemplate answers from.
  // True also when there are none; false only when the terminal could not be read.
  virtual bool ReadAllTemplates(std::int32_t MachineNumber) = 0;
  // True: the next user of the buffer was returned; false: no more users.
  virtual bool GetAllUserInfo(std::int32_t MachineNumber, std::u16string& EnrollNumber,
                              std::u16string& Name, std::u16string& Password,
                              std::int32_t& Privilege, TComBool& Enabled) = 0;
  // Card of the user GetAllUserInfo returned last.
  virtual bool GetCardNumber(std::u16string& CardNumber) = 0;
  // True: that finger has a template (from the buffer when loaded, else asked of the terminal).
  virtual bool GetUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                               std::int32_t FingerIndex, std::int32_t& Flag,
                               std::u16string& TemplateData, std::int32_t& TemplateLength) = 0;
  // Card for the next SetUserInfo only; that call consumes it.
  virtual bool SetCardNumber(const std::u16string& CardNumber) = 0;
  // True: user stored (created or updated).
  virtual bool SetUserInfo(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                           const std::u16string& Name, const std::u16string& Password,
                           std::int32_t Privilege, TComBool Enabled) = 0;
  virtual bool SetUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                               std::int32_t FingerIndex, std::int32_t Flag,
                               const std::u16string& TemplateData) = 0;
  virtual bool DeleteEnrollData(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                                std::int32_t BackupNumber) = 0;
  virtual bool DeleteUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                                  std::int32_t FingerIndex) = 0;
  // Makes written and deleted data effective (the simulated terminal saves its store).
  virtual bool RefreshData(std::int32_t MachineNumber) = 0;
  // Code of the last failure; 0 when the last call succeeded or failed without an error.
  virtual void GetLastError(std::int32_t& dwErrorCode) = 0;
};

}  // namespace vantorix
