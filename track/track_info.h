// A snapshot of one library item: the six tags the tool works with, read
// once when the snapshot is made, the verdict whether the track is suitable
// (a file or CD track whose tags all read, with an Artist, Album and Name and
// a Year from 1000 to 9999), and a reference to the track so that its
// SortAlbum can be written. It never prints anything but what SetSortAlbum
// reports.
#pragma once

#include <cstdint>

#include "library/itunes.h"
#include "track/text_holder.h"

// The track behind an enumerator element, with one reference that the caller
// owns, or null. Takes nothing of its own and leaves the element as it was.
IITFileOrCDTrack* TrackFromVariant(const VARIANT& element);

class CTrackInfo {
 public:
  // Reads the element only during construction; the caller may clear it
  // afterwards, the snapshot keeps a reference of its own.
  explicit CTrackInfo(const VARIANT& element);
  virtual ~CTrackInfo();
  CTrackInfo(const CTrackInfo&) = delete;
  CTrackInfo& operator=(const CTrackInfo&) = delete;

  // On an invalid snapshot every text accessor gives null and GetYear 0.
  bool IsValid() const { return m_Valid; }
  std::int32_t GetYear() const { return m_Valid ? m_Year : 0; }
  const WideChar* GetAlbum() const { return m_Valid ? m_Album.Get() : nullptr; }
  bool HasAlbumArtist() const { return m_Valid && m_AlbumArtist.Length() != 0; }
  const WideChar* GetAlbumArtist() const {
    return HasAlbumArtist() ? m_AlbumArtist.Get() : nullptr;
  }
  const WideChar* GetSortAlbum() const;
  const WideChar* GetAlbumArtistOrArtist() const;

  // Gives the track `newValue` as its SortAlbum unless it has it already,
  // and prints one line about it: "Would change" when pretending, else
  // "Changed" with the value the library then holds, or "Failed to change".
  // True when the tag was, or would have been, changed.
  bool SetSortAlbum(const WideChar* newValue, bool pretend);

 private:
  bool ReadTags();

  CTextHolder m_Artist;
  CTextHolder m_AlbumArtist;
  CTextHolder m_Album;
  CTextHolder m_SortAlbum;
  CTextHolder m_Name;
  std::int32_t m_Year = 0;
  bool m_Valid = false;
  IITFileOrCDTrack* m_Track = nullptr;
};
