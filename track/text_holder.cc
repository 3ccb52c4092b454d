#include "track/text_holder.h"

#include <new>

void CTextHolder::Assign(const WideChar* text) {
  Release();
  m_Text = SysAllocString(text);
  if (m_Text == nullptr && text != nullptr) throw std::bad_alloc();
}
