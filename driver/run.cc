#include "driver/run.h"

#include <cstdint>

#include "albums/album_years.h"
#include "albums/sort_key.h"
#include "library/itunes.h"
#include "text/output.h"
#include "track/track_info.h"

namespace {

// The pointers of the connection, in the order they are obtained.
struct Connection {
  IiTunes* app = nullptr;
  IITLibraryPlaylist* playlist = nullptr;
  IITTrackCollection* tracks = nullptr;
  IUnknown* newEnum = nullptr;
  IEnumVARIANT* enumerator = nullptr;
};

// Each step must succeed and, where it gives an object, give one.
bool Connect(Connection& c) {
  if (CreateiTunesApp(&c.app) != S_OK || c.app == nullptr) return false;
  VARIANT_BOOL compatible = VARIANT_FALSE;
  if (c.app->CheckVersion(1, 1, &compatible) != S_OK || compatible == VARIANT_FALSE) return false;
  if (c.app->get_LibraryPlaylist(&c.playlist) != S_OK || c.playlist == nullptr) return false;
  if (c.playlist->get_Tracks(&c.tracks) != S_OK || c.tracks == nullptr) return false;
  if (c.tracks->get__NewEnum(&c.newEnum) != S_OK || c.newEnum == nullptr) return false;
  return c.newEnum->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&c.enumerator)) ==
             S_OK &&
         c.enumerator != nullptr;
}

template <typename Interface>
void ReleaseIfHeld(Interface*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

void Disconnect(Connection& c) {
  ReleaseIfHeld(c.enumerator);
  ReleaseIfHeld(c.newEnum);
  ReleaseIfHeld(c.tracks);
  ReleaseIfHeld(c.playlist);
  ReleaseIfHeld(c.app);
}

enum class Fetch { Element, End, Error };

// The enumerator says S_FALSE when the tracks are used up; anything else
// that is not S_OK means the walk broke off early.
Fetch FetchNext(IEnumVARIANT* enumerator, VARIANT& element) {
  HRESULT result = enumerator->Next(1, &element, nullptr);
  if (result == S_OK) return Fetch::Element;
  VariantClear(&element);
  return result == S_FALSE ? Fetch::End : Fetch::Error;
}

void ReportBrokenWalk() { PrintMessage(WIDE("Error reading track list.\n")); }

void PrintNoSuitableTracks() {
  PrintMessage(WIDE("No suitable tracks were found. Do your music files have Year tags?\n"));
}

// Pass 1. False when the walk broke off, since the years would then be
// incomplete and the keys of pass 2 wrong.
bool CollectAlbumYears(IEnumVARIANT* enumerator, VARIANT& element, CAlbumsInfo& albums) {
  PrintMessage(WIDE("\nCalculating album years...\n\n"));
  Fetch fetch;
  while ((fetch = FetchNext(enumerator, element)) == Fetch::Element) {
    CTrackInfo track(element);
    if (track.IsValid()) albums.AddTrack(track);
    VariantClear(&element);
  }
  return fetch == Fetch::End;
}

// Pass 2.
void UpdateSortAlbums(IEnumVARIANT* enumerator, VARIANT& element, CAlbumsInfo& albums, bool pretend,
                      bool clear) {
  std::int32_t ignoredCount = 0;
  bool foundSuitable = false;
  bool madeChanges = false;
  Fetch fetch = FetchNext(enumerator, element);
  if (fetch == Fetch::End) return PrintNoSuitableTracks();
  for (; fetch == Fetch::Element; fetch = FetchNext(enumerator, element)) {
    CTrackInfo track(element);
    if (!track.IsValid()) {
      ++ignoredCount;
    } else {
      foundSuitable = true;
      std::optional<WideString> newValue =
          clear ? std::optional<WideString>(WideString()) : ComposeSortKey(track, albums);
      if (newValue && track.SetSortAlbum(newValue->c_str(), pretend)) madeChanges = true;
    }
    VariantClear(&element);
  }
  if (fetch == Fetch::Error) return ReportBrokenWalk();

  if (!foundSuitable) return PrintNoSuitableTracks();
  PrintMessage(madeChanges ? WIDE("\nDone.\n") : WIDE("No changes were performed.\n"));
  if (ignoredCount > 0) {
    PrintMessage(WIDE("\nWarning: %d of your tracks were ignored by the tool due to missing tags.\n"
                      "Year tags, in particular, are required.\n"),
                 ignoredCount);
  }
}

void Walk(IEnumVARIANT* enumerator, bool pretend, bool clear) {
  CAlbumsInfo albums;
  VARIANT element;
  VariantInit(&element);

  if (!clear && !CollectAlbumYears(enumerator, element, albums)) {
    ReportBrokenWalk();
  } else {
    PrintMessage(pretend ? WIDE("\n\nPRETENDING to update SortAlbum fields...\n\n")
                         : WIDE("\n\nUpdating SortAlbum fields...\n\n"));
    if (enumerator->Reset() != S_OK) {
      PrintMessage(WIDE("Error resetting enumerator.\n"));
    } else {
      UpdateSortAlbums(enumerator, element, albums, pretend, clear);
    }
  }
  VariantClear(&element);
}

}  // namespace

void Run(bool pretend, bool clear) {
  if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) != S_OK) return;
  PrintMessage(WIDE("\nInterfacing with iTunes...\n\n"));
  Connection connection;
  if (Connect(connection)) {
    Walk(connection.enumerator, pretend, clear);
  } else {
    PrintMessage(WIDE("Could not get track list. (Incompatible version of iTunes?)\n"));
  }
  Disconnect(connection);
  CoUninitialize();
}
