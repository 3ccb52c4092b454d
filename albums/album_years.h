// The latest Year of every album in the library. An album is its
// AlbumArtist (or, without one, its Artist) and its Album title, both folded
// to lower case in the ASCII letters only and otherwise kept unit for unit:
// 'The Wall' and 'Wall' are two albums. Filled by the first pass of a write
// run and asked by the second.
#pragma once

#include <cstdint>
#include <map>

#include "text/wide.h"

class CTrackInfo;

// Empties `destination`, then appends every unit of `source` folded by
// LowerCaseUnit.
void LowerCaseCopy(const WideString& source, WideString& destination);

class CAlbumsInfo {
 public:
  CAlbumsInfo() = default;
  virtual ~CAlbumsInfo() = default;
  CAlbumsInfo(const CAlbumsInfo&) = delete;
  CAlbumsInfo& operator=(const CAlbumsInfo&) = delete;

  // Raises the album's year to the track's, printing "." when it rises.
  // An invalid snapshot changes nothing.
  void AddTrack(const CTrackInfo& track);

  // The album's year, raised first to the track's own when that is later;
  // a rise here means the library changed since the first pass, and is
  // reported with a warning. 0 for an invalid snapshot.
  std::int32_t GetAlbumYear(const CTrackInfo& track);

 private:
  using ArtistKey = WideString;
  using AlbumKey = WideString;

  // The entry of the track's album, created with the year 0 when new; the
  // unfolded texts of the key are left in `artist` and `album`.
  std::int32_t& YearOf(const CTrackInfo& track, WideString& artist, WideString& album);

  std::map<ArtistKey, std::map<AlbumKey, std::int32_t>> m_Years;
};
