#include "text/output.h"
#include "track/track_info.h"

bool CTrackInfo::SetSortAlbum(const WideChar* newValue, bool pretend) {
  if (!m_Valid || newValue == nullptr) return false;

  const WideChar* sortAlbum = GetSortAlbum();
  const WideString current = sortAlbum != nullptr ? sortAlbum : WIDE("");
  if (current == newValue) return false;

  m_SortAlbum.Assign(newValue);
  if (pretend) {
    PrintMessage(WIDE("Would change \"%s\" SortAlbum \"%s\" to \"%s\"\n"), GetAlbum(),
                 current.c_str(), newValue);
    return true;
  }

  if (m_Track->put_SortAlbum(m_SortAlbum.Get()) != S_OK) {
    PrintMessage(WIDE("Failed to change \"%s\" SortAlbum \"%s\" to \"%s\"\n"), GetAlbum(),
                 current.c_str(), newValue);
    return false;
  }

  // The line shows what the library holds now, which may not be what was asked.
  CTextHolder readBack;
  const WideChar* stored = newValue;
  if (m_Track->get_SortAlbum(readBack.Receive()) == S_OK) {
    stored = readBack.Length() != 0 ? readBack.Get() : WIDE("");
  }
  PrintMessage(WIDE("Changed \"%s\" SortAlbum \"%s\" to \"%s\"\n"), GetAlbum(), current.c_str(),
               stored);
  return true;
}
