#include "track/track_info.h"

IITFileOrCDTrack* TrackFromVariant(const VARIANT& element) {
  IUnknown* candidate = nullptr;
  switch (V_VT(&element)) {
    case VT_DISPATCH:
      candidate = V_DISPATCH(&element);
      break;
    case VT_UNKNOWN:
      candidate = V_UNKNOWN(&element);
      break;
    case VT_BYREF | VT_DISPATCH:
      if (V_DISPATCHREF(&element) != nullptr) candidate = *V_DISPATCHREF(&element);
      break;
    case VT_BYREF | VT_UNKNOWN:
      if (V_UNKNOWNREF(&element) != nullptr) candidate = *V_UNKNOWNREF(&element);
      break;
    default:
      break;
  }
  if (candidate == nullptr) return nullptr;
  void* track = nullptr;
  if (candidate->QueryInterface(IID_IITFileOrCDTrack, &track) != S_OK) return nullptr;
  return static_cast<IITFileOrCDTrack*>(track);
}

CTrackInfo::CTrackInfo(const VARIANT& element) {
  m_Track = TrackFromVariant(element);
  if (m_Track == nullptr || !ReadTags()) return;
  if (m_Artist.Length() == 0 || m_Album.Length() == 0 || m_Name.Length() == 0) return;
  if (m_Year <= 999 || m_Year >= 10000) return;
  m_Valid = true;
}

bool CTrackInfo::ReadTags() {
  return m_Track->get_Artist(m_Artist.Receive()) == S_OK &&
         m_Track->get_AlbumArtist(m_AlbumArtist.Receive()) == S_OK &&
         m_Track->get_Album(m_Album.Receive()) == S_OK &&
         m_Track->get_SortAlbum(m_SortAlbum.Receive()) == S_OK &&
         m_Track->get_Name(m_Name.Receive()) == S_OK && m_Track->get_Year(&m_Year) == S_OK;
}

CTrackInfo::~CTrackInfo() {
  if (m_Track != nullptr) {
    m_Track->Release();
    m_Track = nullptr;
  }
  m_Name.Release();
  m_SortAlbum.Release();
  m_Album.Release();
  m_AlbumArtist.Release();
  m_Artist.Release();
}

const WideChar* CTrackInfo::GetSortAlbum() const {
  return m_Valid && m_SortAlbum.Length() != 0 ? m_SortAlbum.Get() : nullptr;
}

const WideChar* CTrackInfo::GetAlbumArtistOrArtist() const {
  if (!m_Valid) return nullptr;
  return HasAlbumArtist() ? m_AlbumArtist.Get() : m_Artist.Get();
}
