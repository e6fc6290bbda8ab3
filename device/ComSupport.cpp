// COM resource owners and status texts.
#include "device/ComSupport.h"

#include <windows.h>

#include <cstdio>
#include <new>

#include "json/JsonUtf8.h"

namespace vantorix {

namespace {

std::string Utf8(const wchar_t* text, std::size_t length) {
  return JsonUtf8Encode(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// Drops the line break and the full stop that system texts end with.
std::string TrimMessage(std::string text) {
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

// The automation failures a terminal control's calls meet most, named the same on every system
// (wine has no texts for them).
const char* KnownText(HRESULT status) {
  switch (status) {
    case DISP_E_UNKNOWNNAME:
      return "Unknown name";
    case DISP_E_MEMBERNOTFOUND:
      return "Member not found";
    case DISP_E_PARAMNOTFOUND:
      return "Parameter not found";
    case DISP_E_TYPEMISMATCH:
      return "Type mismatch";
    case DISP_E_NONAMEDARGS:
      return "No named arguments";
    case DISP_E_OVERFLOW:
      return "Out of present range";
    case DISP_E_BADPARAMCOUNT:
      return "Invalid number of parameters";
    case CO_E_CLASSSTRING:
      return "Invalid class string";
    case REGDB_E_CLASSNOTREG:
      return "Class not registered";
    default:
      return nullptr;
  }
}

class TLocalText {
 public:
  ~TLocalText() { LocalFree(fText); }
  wchar_t** Put() { return &fText; }
  const wchar_t* Get() const { return fText; }

 private:
  wchar_t* fText = nullptr;
};

}  // namespace

TBstr::TBstr(std::u16string_view text)
    : fText(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                              static_cast<UINT>(text.size()))) {
  if (fText == nullptr) {
    throw std::bad_alloc();
  }
}

std::u16string TBstr::Text() const {
  return std::u16string(reinterpret_cast<const char16_t*>(fText), SysStringLen(fText));
}

TExcepInfo::~TExcepInfo() {
  SysFreeString(fInfo.bstrSource);
  SysFreeString(fInfo.bstrDescription);
  SysFreeString(fInfo.bstrHelpFile);
}

std::string TExcepInfo::Describe() {
  if (fInfo.pfnDeferredFillIn != nullptr) {
    // Called once: it fills the texts in, which the destructor then frees.
    auto fill = std::exchange(fInfo.pfnDeferredFillIn, nullptr);
    fill(&fInfo);
  }
  std::string text = TrimMessage(Utf8(fInfo.bstrDescription, SysStringLen(fInfo.bstrDescription)));
  if (text.empty()) {
    text = "no description";
  }
  std::string details = Utf8(fInfo.bstrSource, SysStringLen(fInfo.bstrSource));
  const long code = fInfo.scode != 0 ? fInfo.scode : fInfo.wCode;
  if (code != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    details += (details.empty() ? "" : ", ") + std::string(hex);
  }
  return details.empty() ? text : text + " (" + details + ")";
}

std::string HResultText(HRESULT status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
  if (const char* known = KnownText(status)) {
    return std::string(hex) + " " + known;
  }
  // A system error wrapped in an HRESULT has its text under the plain error number.
  const DWORD number = HRESULT_FACILITY(status) == FACILITY_WIN32
                           ? static_cast<DWORD>(HRESULT_CODE(status))
                           : static_cast<DWORD>(status);
  TLocalText message;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, 0, reinterpret_cast<wchar_t*>(message.Put()), 0, nullptr);
  const std::string text = length == 0 ? std::string() : TrimMessage(Utf8(message.Get(), length));
  return text.empty() ? std::string(hex) : std::string(hex) + " " + text;
}

}  // namespace vantorix
