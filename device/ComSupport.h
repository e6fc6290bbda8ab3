// Owners for COM automation resources (interface pointers, BSTR texts, VARIANTs, exception
// information) and the texts of COM status codes. Windows only.
#pragma once

#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <string_view>
#include <utility>

namespace vantorix {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "COM texts are UTF-16");

inline const wchar_t* WideText(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Owns one reference to a COM interface and releases it once. Not thread-safe; release it in
// the apartment that obtained it.
template <typename T>
class TComPtr {
 public:
  TComPtr() = default;
  ~TComPtr() { Reset(); }
  TComPtr(TComPtr&& other) noexcept : fPointer(std::exchange(other.fPointer, nullptr)) {}
  TComPtr& operator=(TComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      fPointer = std::exchange(other.fPointer, nullptr);
    }
    return *this;
  }
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;

  T* Get() const { return fPointer; }
  T* operator->() const { return fPointer; }
  explicit operator bool() const { return fPointer != nullptr; }
  // For a function that hands out a reference: releases the one held, gives the slot.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&fPointer);
  }
  void Reset() {
    if (fPointer != nullptr) {
      std::exchange(fPointer, nullptr)->Release();
    }
  }

 private:
  T* fPointer = nullptr;
};

// Owns one BSTR; a null BSTR is the empty text. Any thread (the allocator is the process's).
class TBstr {
 public:
  TBstr() = default;
  // Raises std::bad_alloc when the text cannot be allocated. Embedded NULs are kept.
  explicit TBstr(std::u16string_view text);
  ~TBstr() { SysFreeString(fText); }
  TBstr(TBstr&& other) noexcept : fText(std::exchange(other.fText, nullptr)) {}
  TBstr& operator=(TBstr&& other) noexcept {
    if (this != &other) {
      SysFreeString(std::exchange(fText, std::exchange(other.fText, nullptr)));
    }
    return *this;
  }
  TBstr(const TBstr&) = delete;
  TBstr& operator=(const TBstr&) = delete;

  BSTR Get() const { return fText; }
  // For a by-reference text argument: frees the text held and gives the slot, null until the
  // callee fills it; the text put there is owned here.
  BSTR* Put() {
    SysFreeString(std::exchange(fText, nullptr));
    return &fText;
  }
  // Every code unit SysStringLen counts, embedded NULs included.
  std::u16string Text() const;

 private:
  BSTR fText = nullptr;
};

// Owns one VARIANT and clears it on destruction.
class TVariant {
 public:
  TVariant() { VariantInit(&fValue); }
  ~TVariant() { VariantClear(&fValue); }
  TVariant(const TVariant&) = delete;
  TVariant& operator=(const TVariant&) = delete;

  VARIANT* Get() { return &fValue; }
  const VARIANT& Value() const { return fValue; }

 private:
  VARIANT fValue;
};

// Owns the texts of an EXCEPINFO that IDispatch::Invoke filled.
class TExcepInfo {
 public:
  TExcepInfo() : fInfo() {}
  ~TExcepInfo();
  TExcepInfo(const TExcepInfo&) = delete;
  TExcepInfo& operator=(const TExcepInfo&) = delete;

  EXCEPINFO* Get() { return &fInfo; }
  // Completes information whose filling the callee deferred, then describes it:
  // "<description> (<source>, 0x<code>)", with what the control left out left out.
  std::string Describe();

 private:
  EXCEPINFO fInfo;
};

// "0x80040154 Class not registered": the status in hexadecimal and the system's text for it,
// when it has one. UTF-8.
std::string HResultText(HRESULT status);

}  // namespace vantorix
