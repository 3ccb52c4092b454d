#include "albums/album_years.h"

#include "text/compare.h"
#include "text/output.h"
#include "track/track_info.h"

void LowerCaseCopy(const WideString& source, WideString& destination) {
  destination.clear();
  destination.reserve(source.size());
  for (WideChar unit : source) destination.push_back(LowerCaseUnit(unit));
}

std::int32_t& CAlbumsInfo::YearOf(const CTrackInfo& track, WideString& artist, WideString& album) {
  artist = track.GetAlbumArtistOrArtist();
  album = track.GetAlbum();
  ArtistKey artistKey;
  AlbumKey albumKey;
  LowerCaseCopy(artist, artistKey);
  LowerCaseCopy(album, albumKey);
  return m_Years[artistKey][albumKey];
}

void CAlbumsInfo::AddTrack(const CTrackInfo& track) {
  if (!track.IsValid()) return;
  WideString artist, album;
  std::int32_t& year = YearOf(track, artist, album);
  if (year < track.GetYear()) {
    year = track.GetYear();
    PrintMessage(WIDE("."));
  }
}

std::int32_t CAlbumsInfo::GetAlbumYear(const CTrackInfo& track) {
  if (!track.IsValid()) return 0;
  WideString artist, album;
  std::int32_t& year = YearOf(track, artist, album);
  if (track.GetYear() > year) {
    year = track.GetYear();
    PrintMessage(WIDE("WARNING: Album Year has changed! %s - %s --> %ld\n"), artist.c_str(),
                 album.c_str(), year);
  }
  return year;
}
