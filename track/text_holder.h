// The owner of one tag text as the media library hands it over: a BSTR, or
// a null BSTR, or nothing yet. Never copied, so every BSTR has one owner.
#pragma once

#include "library/com.h"

class CTextHolder {
 public:
  CTextHolder() = default;
  ~CTextHolder() { Release(); }
  CTextHolder(const CTextHolder&) = delete;
  CTextHolder& operator=(const CTextHolder&) = delete;

  // Frees what is held and gives the address a getter fills; what the
  // getter stores there belongs to the holder, whatever the call returns.
  BSTR* Receive() {
    Release();
    return &m_Text;
  }

  // Holds a copy of `text`. Throws std::bad_alloc when memory runs out.
  void Assign(const WideChar* text);

  // 0 for nothing and for a null BSTR.
  UINT Length() const { return SysStringLen(m_Text); }
  BSTR Get() const { return m_Text; }

  void Release() {
    SysFreeString(m_Text);
    m_Text = nullptr;
  }

 private:
  BSTR m_Text = nullptr;
};
