// A media library that tests program, installed as the COM host for as long
// as it lives (tests only).
//
// It yields `elements` in order, each as the kind of VARIANT its ElementKind
// says, and records every call in order: "CoInitializeEx", "CoCreateInstance",
// "app.CheckVersion", "app.get_LibraryPlaylist", "playlist.get_Tracks",
// "tracks.get__NewEnum", "newEnum.QueryInterface(IEnumVARIANT)", "enum.Next",
// "enum.Reset", "CoUninitialize", "<object>.Release", and for element i
// "i.QueryInterface(IITFileOrCDTrack)", "i.get_Artist" ... "i.get_Year",
// "i.put_SortAlbum(<value>)". SetResult makes a call of one of these names
// (without the value in brackets) return any HRESULT, every time or at its
// nth occurrence only. A failed call leaves its out-value null; a success
// code other than S_OK still fills it, so that a caller who drops it leaks.
//
// Every object counts its references, starting from the library's own one;
// Imbalances() names each object not back at that one reference.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "library/itunes.h"

struct StandInTrack {
  // Nothing: the getter gives a null BSTR.
  std::optional<WideString> artist, albumArtist, album, sortAlbum, name;
  std::int32_t year = 0;
  // What put_SortAlbum stores, when not the value it is given.
  std::optional<WideString> storesInstead;
};

enum class ElementKind {
  Track,             // VT_DISPATCH of a file track
  TrackAsUnknown,    // VT_UNKNOWN of a file track
  TrackByReference,  // VT_BYREF | VT_DISPATCH pointing at a file track
  NotATrack,         // VT_DISPATCH of an object that refuses IITFileOrCDTrack
  NullReference,     // VT_BYREF | VT_DISPATCH with a null reference
  Empty,             // VT_EMPTY
  String,            // VT_BSTR
};

struct StandInElement {
  ElementKind kind = ElementKind::Track;
  StandInTrack track;
};

// A suitable-looking track: Artist, empty AlbumArtist, Album, Name, Year.
StandInElement Track(const WideString& artist, const WideString& album, std::int32_t year,
                     const WideString& sortAlbum = WideString(),
                     const WideString& albumArtist = WideString());
StandInElement Element(ElementKind kind);

class CStandInLibrary : public ComHost {
 public:
  CStandInLibrary();
  ~CStandInLibrary() override;
  CStandInLibrary(const CStandInLibrary&) = delete;
  CStandInLibrary& operator=(const CStandInLibrary&) = delete;

  std::vector<StandInElement> elements;
  VARIANT_BOOL compatible = VARIANT_TRUE;
  // Calls, by the names of the log, that return S_OK and yet hand over no
  // object, as a broken library might.
  std::set<std::string> givesNothing;
  // Called by every Reset that succeeds, after it rewinds.
  std::function<void(CStandInLibrary&)> onReset;

  // `occurrence` 0: every call of that name; n: its nth call only.
  void SetResult(const std::string& call, HRESULT result, int occurrence = 0);

  const std::vector<std::string>& Calls() const { return m_Calls; }
  // The calls whose names start with `prefix`, in order.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
  // Empty when every object holds exactly the library's own reference.
  std::string Imbalances() const;

  // For the objects of the library.
  HRESULT Record(const std::string& call, std::optional<std::string> argument = std::nullopt);
  struct Object;
  Object* ElementObject(std::size_t index);
  HRESULT Next(VARIANT* element);
  HRESULT Reset();
  // A new enumeration starts at the first element.
  void Rewind() { m_Position = 0; }

  // ComHost
  HRESULT Initialize(DWORD concurrency) override;
  void Uninitialize() override;
  HRESULT CreateInstance(REFCLSID clsid, DWORD context, REFIID iid, void** object) override;

 private:
  std::vector<std::string> m_Calls;
  std::map<std::string, int> m_CallCounts;
  std::map<std::pair<std::string, int>, HRESULT> m_Results;
  std::vector<std::unique_ptr<Object>> m_Connection;
  std::vector<std::unique_ptr<Object>> m_ElementObjects;
  std::size_t m_Position = 0;
  ComHost* m_PreviousHost;
};

// Units as ASCII, others as \uXXXX, for logs and failure messages.
std::string Narrow(const WideString& text);
