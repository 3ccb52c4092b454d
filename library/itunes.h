// The media player's automation interfaces, reduced to the members the tool
// calls, with the player's own names and identifiers. The core calls only
// these; each host binding implements them (the player through COM on
// Windows, a folder of audio files or a test library elsewhere). Every member
// returns S_OK on success; an out-value is meaningful only then.
#pragma once

#include <cstdint>

#include "library/com.h"

constexpr CLSID CLSID_iTunesApp = {
    0xDC0C2640, 0x1415, 0x4644, {0x87, 0x5C, 0x6F, 0x4D, 0x76, 0x98, 0x39, 0xBA}};
constexpr IID IID_IiTunes = {
    0x9DD6680B, 0x3EDC, 0x40DB, {0xA7, 0x71, 0xE6, 0xFE, 0x48, 0x32, 0xE3, 0x4A}};
constexpr IID IID_IITFileOrCDTrack = {
    0x00D7FE99, 0x7868, 0x4CC7, {0xAD, 0x9E, 0xAC, 0xFD, 0x70, 0xD0, 0x95, 0x66}};

struct IITTrackCollection : IDispatch {
  // An object that answers for IEnumVARIANT, over every track.
  virtual HRESULT get__NewEnum(IUnknown** enumerator) = 0;

 protected:
  ~IITTrackCollection() = default;
};

struct IITPlaylist : IDispatch {
  virtual HRESULT get_Tracks(IITTrackCollection** tracks) = 0;

 protected:
  ~IITPlaylist() = default;
};

struct IITLibraryPlaylist : IITPlaylist {
 protected:
  ~IITLibraryPlaylist() = default;
};

struct IiTunes : IDispatch {
  // *compatible is non-zero when this player serves clients of that version.
  virtual HRESULT CheckVersion(std::int32_t major, std::int32_t minor,
                               VARIANT_BOOL* compatible) = 0;
  virtual HRESULT get_LibraryPlaylist(IITLibraryPlaylist** playlist) = 0;

 protected:
  ~IiTunes() = default;
};

// A track of the library that is a file or a CD track. The text getters hand
// the caller a BSTR to free; a null BSTR is an empty tag.
struct IITFileOrCDTrack : IDispatch {
  virtual HRESULT get_Artist(BSTR* artist) = 0;
  virtual HRESULT get_AlbumArtist(BSTR* albumArtist) = 0;
  virtual HRESULT get_Album(BSTR* album) = 0;
  virtual HRESULT get_SortAlbum(BSTR* sortAlbum) = 0;
  virtual HRESULT get_Name(BSTR* name) = 0;
  virtual HRESULT get_Year(std::int32_t* year) = 0;
  // The caller keeps `sortAlbum`; an empty one clears the tag.
  virtual HRESULT put_SortAlbum(BSTR sortAlbum) = 0;

 protected:
  ~IITFileOrCDTrack() = default;
};

// The player's application object, with one reference for the caller:
// CoCreateInstance of CLSID_iTunesApp in a local server for IID_IiTunes. On
// Windows the object that comes back is the binding around the player's own.
HRESULT CreateiTunesApp(IiTunes** app);
