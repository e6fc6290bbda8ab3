// Test helpers for the COM terminal control: the test double's profile, and its test methods
// (faults and state) called on the control's own thread. Windows only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/ComSupport.h"
#include "device/ComTermControl.h"
#include "device/TermProfile.h"
#include "json/JsonUtf8.h"

namespace vantorix::testing_support {

// The double's ProgID and its four method names of its own (as the example profile names them).
inline TTermProfile DoubleProfile(std::u16string controlClass = u"Vantorix.TestTerminal") {
  return ParseTermProfile("class = " + JsonUtf8Encode(controlClass) +
                          "\nConnectNet = OpenTerminal\nDisconnect = CloseTerminal\n"
                          "GetUserTemplate = FetchTemplate\nSetUserTemplate = StoreTemplate\n");
}

// One argument of a test method.
struct TDoubleArg {
  TDoubleArg(std::int32_t value) : isText(false), number(value) {}
  TDoubleArg(std::u16string value) : isText(true), text(std::move(value)) {}
  TDoubleArg(const char16_t* value) : TDoubleArg(std::u16string(value)) {}
  bool isText;
  std::int32_t number = 0;
  std::u16string text;
};

// The double's test methods on the object a TComTermControl drives.
class TDouble {
 public:
  explicit TDouble(TComTermControl& control) : fControl(control) {}

  void FailNext(std::u16string method, std::int32_t code) { Call(u"FailNext", {method, code}); }
  void RaiseNext(std::u16string method, std::u16string description, bool deferred = false) {
    Call(u"RaiseNext", {method, description, TDoubleArg(deferred ? -1 : 0)}, true);
  }
  void ReturnNext(std::u16string method, HRESULT status) {
    Call(u"ReturnNext", {method, static_cast<std::int32_t>(status)});
  }
  void RaiseAtCall(std::int32_t n, std::u16string description) {
    Call(u"RaiseAtCall", {n, description});
  }
  // "absent", or "users=U templates=T enabled=E connected=C key=K".
  std::string TerminalState(std::u16string ip, std::int32_t port) {
    return Call(u"TerminalState", {ip, port});
  }
  std::int32_t CallCount() { return std::stoi(Call(u"CallCount", {})); }

 private:
  // Calls method with args (a last argument flagged lastIsBool goes as a VARIANT_BOOL); the
  // answer as text.
  std::string Call(const std::u16string& method, std::vector<TDoubleArg> args,
                   bool lastIsBool = false) {
    std::string answer;
    fControl.RunWithControl([&](IDispatch* control) {
      ASSERT_NE(control, nullptr);
      std::u16string name = method;
      auto* names = reinterpret_cast<LPOLESTR>(name.data());
      DISPID id = DISPID_UNKNOWN;
      ASSERT_EQ(control->GetIDsOfNames(IID_NULL, &names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
      std::vector<TBstr> texts(args.size());
      std::vector<VARIANTARG> reversed(args.size());
      for (std::size_t i = 0; i < args.size(); ++i) {
        VARIANTARG& v = reversed[args.size() - 1 - i];
        VariantInit(&v);
        if (args[i].isText) {
          texts[i] = TBstr(args[i].text);
          v.vt = VT_BSTR;
          v.bstrVal = texts[i].Get();
        } else if (lastIsBool && i + 1 == args.size()) {
          v.vt = VT_BOOL;
          v.boolVal = static_cast<VARIANT_BOOL>(args[i].number);
        } else {
          v.vt = VT_I4;
          v.lVal = args[i].number;
        }
      }
      DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
      TVariant result;
      ASSERT_EQ(control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                result.Get(), nullptr, nullptr),
                S_OK)
          << JsonUtf8Encode(method);
      VARIANT& value = *result.Get();
      if (value.vt == VT_BSTR) {
        answer = JsonUtf8Encode(std::u16string(reinterpret_cast<const char16_t*>(value.bstrVal),
                                               SysStringLen(value.bstrVal)));
      } else if (value.vt == VT_I4) {
        answer = std::to_string(value.lVal);
      }
    });
    return answer;
  }

  TComTermControl& fControl;
};

}  // namespace vantorix::testing_support
