// The component runtime and OLE Automation as the tool uses them. On Windows
// these are the platform's own. Elsewhere this is a small layer of ours with
// the same names and results, reduced to what the tool relies on: reference
// counting and interface queries, BSTRs, VARIANTs, the element enumerator,
// and the creation of an object for a class id through a ComHost that the
// host installs (a test library, the folder library). With no host installed
// no class is registered.
#pragma once

#include "text/wide.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on
#else
#include <cstddef>
#include <cstdint>

#include "library/kernel.h"

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using OLECHAR = WideChar;
// Points at the first unit; the length in bytes is stored just before it and
// a null unit follows the last one.
using BSTR = OLECHAR*;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr DWORD COINIT_MULTITHREADED = 0;
constexpr DWORD CLSCTX_LOCAL_SERVER = 4;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

bool operator==(const GUID& left, const GUID& right);
inline bool operator!=(const GUID& left, const GUID& right) { return !(left == right); }

constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IEnumVARIANT = {0x00020404, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct IUnknown {
  // S_OK and one more reference in *object, or E_NOINTERFACE and null.
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  // The object goes when its last reference is released.
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// The base of the player's automation interfaces; the tool calls none of its
// own members.
struct IDispatch : IUnknown {
 protected:
  ~IDispatch() = default;
};

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_BOOL = 11,
  VT_UNKNOWN = 13,
  VT_BYREF = 0x4000,
};

struct VARIANT {
  VARTYPE vt;
  std::uint16_t wReserved1;
  std::uint16_t wReserved2;
  std::uint16_t wReserved3;
  union {
    std::int32_t lVal;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
  };
};

#define V_VT(v) ((v)->vt)
#define V_I4(v) ((v)->lVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_UNKNOWNREF(v) ((v)->ppunkVal)
#define V_DISPATCHREF(v) ((v)->ppdispVal)

void VariantInit(VARIANT* variant);
// Releases what the element holds (an interface or a BSTR; nothing for a
// reference) and leaves it VT_EMPTY.
HRESULT VariantClear(VARIANT* variant);

// Null for a null text or when memory runs out.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* units, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
// BSTRs allocated and not yet freed, so that tests can find a leak.
std::size_t SysLiveStringCount();

struct IEnumVARIANT : IUnknown {
  // S_OK with `count` elements; S_FALSE when fewer were left.
  virtual HRESULT Next(ULONG count, VARIANT* elements, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumVARIANT() = default;
};

// What the runtime calls do on a host without COM.
class ComHost {
 public:
  virtual ~ComHost() = default;
  virtual HRESULT Initialize(DWORD concurrency) = 0;
  virtual void Uninitialize() = 0;
  // S_OK with one reference in *object, or a failure and null.
  virtual HRESULT CreateInstance(REFCLSID clsid, DWORD context, REFIID iid, void** object) = 0;
};

// Installs `host` (null: none) and returns the one it replaces.
ComHost* SetComHost(ComHost* host);

HRESULT CoInitializeEx(void* reserved, DWORD concurrency);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);
#endif
