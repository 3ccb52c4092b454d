// The runtime layer of library/com.h for hosts without COM.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "library/com.h"

namespace {

ComHost* g_host = nullptr;
std::size_t g_liveStrings = 0;
thread_local DWORD t_lastError = 0;

std::uint32_t* LengthPrefix(BSTR text) { return reinterpret_cast<std::uint32_t*>(text) - 1; }

}  // namespace

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetLastError(DWORD code) { t_lastError = code; }

DWORD GetLastError() { return t_lastError; }

bool operator==(const GUID& left, const GUID& right) {
  return left.Data1 == right.Data1 && left.Data2 == right.Data2 && left.Data3 == right.Data3 &&
         std::memcmp(left.Data4, right.Data4, sizeof left.Data4) == 0;
}

void VariantInit(VARIANT* variant) {
  std::memset(variant, 0, sizeof *variant);
  variant->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* variant) {
  switch (variant->vt) {
    case VT_DISPATCH:
      if (variant->pdispVal != nullptr) variant->pdispVal->Release();
      break;
    case VT_UNKNOWN:
      if (variant->punkVal != nullptr) variant->punkVal->Release();
      break;
    case VT_BSTR:
      SysFreeString(variant->bstrVal);
      break;
    default:
      break;  // Numbers hold nothing; a reference belongs to its lender.
  }
  VariantInit(variant);
  return S_OK;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<OLECHAR>::length(text)));
}

BSTR SysAllocStringLen(const OLECHAR* units, UINT length) {
  // The stored byte count is 32 bits, as on Windows.
  if (length > (UINT32_MAX - sizeof(std::uint32_t)) / sizeof(OLECHAR) - 1) return nullptr;
  void* block = std::malloc(sizeof(std::uint32_t) + (std::size_t{length} + 1) * sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  *static_cast<std::uint32_t*>(block) = length * sizeof(OLECHAR);
  BSTR text = reinterpret_cast<BSTR>(static_cast<std::uint32_t*>(block) + 1);
  if (units != nullptr) {
    std::memcpy(text, units, length * sizeof(OLECHAR));
  } else {
    std::memset(text, 0, length * sizeof(OLECHAR));
  }
  text[length] = 0;
  ++g_liveStrings;
  return text;
}

void SysFreeString(BSTR text) {
  if (text == nullptr) return;
  --g_liveStrings;
  std::free(LengthPrefix(text));
}

UINT SysStringLen(BSTR text) {
  return text == nullptr ? 0 : static_cast<UINT>(*LengthPrefix(text) / sizeof(OLECHAR));
}

std::size_t SysLiveStringCount() { return g_liveStrings; }

ComHost* SetComHost(ComHost* host) {
  ComHost* previous = g_host;
  g_host = host;
  return previous;
}

HRESULT CoInitializeEx(void*, DWORD concurrency) {
  return g_host != nullptr ? g_host->Initialize(concurrency) : S_OK;
}

void CoUninitialize() {
  if (g_host != nullptr) g_host->Uninitialize();
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr) return E_FAIL;
  if (g_host == nullptr) return REGDB_E_CLASSNOTREG;
  return g_host->CreateInstance(clsid, context, iid, object);
}
