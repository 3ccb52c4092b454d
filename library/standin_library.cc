#include "library/standin_library.h"

#include <cstdio>

struct CStandInLibrary::Object {
  Object(CStandInLibrary& owner, std::string objectName)
      : library(owner), name(std::move(objectName)) {}
  virtual ~Object() = default;

  CStandInLibrary& library;
  const std::string name;
  long refs = 1;  // the library's own
};

namespace {

std::string IidName(REFIID iid) {
  if (iid == IID_IUnknown) return "IUnknown";
  if (iid == IID_IDispatch) return "IDispatch";
  if (iid == IID_IEnumVARIANT) return "IEnumVARIANT";
  if (iid == IID_IiTunes) return "IiTunes";
  if (iid == IID_IITFileOrCDTrack) return "IITFileOrCDTrack";
  return "other";
}

template <typename Interface>
class Counted : public Interface, public CStandInLibrary::Object {
 public:
  using Object::Object;

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const std::string call = name + ".QueryInterface(" + IidName(iid) + ")";
    const HRESULT result = library.Record(call);
    if (result != S_OK || library.givesNothing.count(call) != 0) return result;
    IUnknown* found = Find(iid);
    if (found == nullptr) return E_NOINTERFACE;
    found->AddRef();
    *out = found;
    return S_OK;
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override {
    library.Record(name + ".Release");
    return static_cast<ULONG>(--refs);
  }

 protected:
  virtual IUnknown* Find(REFIID iid) {
    return iid == IID_IUnknown || iid == IID_IDispatch ? this : nullptr;
  }

  // A getter's out-value: filled unless the call failed.
  template <typename Value, typename Fill>
  HRESULT Give(const std::string& call, Value* out, Fill fill) {
    if (out == nullptr) return E_POINTER;
    *out = Value();
    const HRESULT result = library.Record(name + "." + call);
    if (result >= 0 && library.givesNothing.count(name + "." + call) == 0) *out = fill();
    return result;
  }
};

class TrackObject final : public Counted<IITFileOrCDTrack> {
 public:
  TrackObject(CStandInLibrary& owner, std::size_t index)
      : Counted(owner, std::to_string(index)), m_Index(index) {}

  IDispatch** Slot() { return &m_Slot; }

  HRESULT get_Artist(BSTR* out) override { return Text("get_Artist", Tags().artist, out); }
  HRESULT get_AlbumArtist(BSTR* out) override {
    return Text("get_AlbumArtist", Tags().albumArtist, out);
  }
  HRESULT get_Album(BSTR* out) override { return Text("get_Album", Tags().album, out); }
  HRESULT get_SortAlbum(BSTR* out) override { return Text("get_SortAlbum", Tags().sortAlbum, out); }
  HRESULT get_Name(BSTR* out) override { return Text("get_Name", Tags().name, out); }
  HRESULT get_Year(std::int32_t* out) override {
    return Give("get_Year", out, [this] { return Tags().year; });
  }
  HRESULT put_SortAlbum(BSTR value) override {
    const WideString given(value != nullptr ? value : WIDE(""), SysStringLen(value));
    const HRESULT result = library.Record(name + ".put_SortAlbum", Narrow(given));
    if (result == S_OK) Tags().sortAlbum = Tags().storesInstead.value_or(given);
    return result;
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    if (iid == IID_IITFileOrCDTrack) {
      return library.elements.at(m_Index).kind != ElementKind::NotATrack ? this : nullptr;
    }
    return Counted::Find(iid);
  }

 private:
  StandInTrack& Tags() { return library.elements.at(m_Index).track; }

  HRESULT Text(const char* call, const std::optional<WideString>& value, BSTR* out) {
    const std::optional<WideString> copy = value;
    return Give(call, out, [&copy]() -> BSTR {
      return copy ? SysAllocStringLen(copy->data(), static_cast<UINT>(copy->size())) : nullptr;
    });
  }

  std::size_t m_Index;
  IDispatch* m_Slot = this;
};

class EnumObject final : public Counted<IEnumVARIANT> {
 public:
  explicit EnumObject(CStandInLibrary& owner) : Counted(owner, "enum") {}
  HRESULT Next(ULONG count, VARIANT* elements, ULONG* fetched) override {
    if (count != 1 || elements == nullptr) return E_FAIL;
    const HRESULT result = library.Next(elements);
    if (fetched != nullptr) *fetched = result == S_OK ? 1 : 0;
    return result;
  }
  HRESULT Reset() override { return library.Reset(); }

 protected:
  IUnknown* Find(REFIID iid) override {
    return iid == IID_IUnknown || iid == IID_IEnumVARIANT ? this : nullptr;
  }
};

// The collection's _NewEnum: a separate object that answers for the enumerator.
class NewEnumObject final : public Counted<IUnknown> {
 public:
  NewEnumObject(CStandInLibrary& owner, EnumObject* enumerator)
      : Counted(owner, "newEnum"), m_Enumerator(enumerator) {}

 protected:
  IUnknown* Find(REFIID iid) override {
    if (iid == IID_IEnumVARIANT) return m_Enumerator;
    return iid == IID_IUnknown ? this : nullptr;
  }

 private:
  EnumObject* m_Enumerator;
};

class TracksObject final : public Counted<IITTrackCollection> {
 public:
  TracksObject(CStandInLibrary& owner, NewEnumObject* newEnum)
      : Counted(owner, "tracks"), m_NewEnum(newEnum) {}
  HRESULT get__NewEnum(IUnknown** out) override {
    return Give("get__NewEnum", out, [this]() -> IUnknown* {
      library.Rewind();
      m_NewEnum->AddRef();
      return m_NewEnum;
    });
  }

 private:
  NewEnumObject* m_NewEnum;
};

class PlaylistObject final : public Counted<IITLibraryPlaylist> {
 public:
  PlaylistObject(CStandInLibrary& owner, TracksObject* tracks)
      : Counted(owner, "playlist"), m_Tracks(tracks) {}
  HRESULT get_Tracks(IITTrackCollection** out) override {
    return Give("get_Tracks", out, [this]() -> IITTrackCollection* {
      m_Tracks->AddRef();
      return m_Tracks;
    });
  }

 private:
  TracksObject* m_Tracks;
};

class AppObject final : public Counted<IiTunes> {
 public:
  AppObject(CStandInLibrary& owner, PlaylistObject* playlist)
      : Counted(owner, "app"), m_Playlist(playlist) {}
  HRESULT CheckVersion(std::int32_t major, std::int32_t minor, VARIANT_BOOL* compatible) override {
    if (compatible == nullptr) return E_POINTER;
    *compatible = VARIANT_FALSE;
    const HRESULT result =
        library.Record("app.CheckVersion", std::to_string(major) + "," + std::to_string(minor));
    if (result >= 0) *compatible = library.compatible;
    return result;
  }
  HRESULT get_LibraryPlaylist(IITLibraryPlaylist** out) override {
    return Give("get_LibraryPlaylist", out, [this]() -> IITLibraryPlaylist* {
      m_Playlist->AddRef();
      return m_Playlist;
    });
  }

 protected:
  IUnknown* Find(REFIID iid) override { return iid == IID_IiTunes ? this : Counted::Find(iid); }

 private:
  PlaylistObject* m_Playlist;
};

}  // namespace

StandInElement Track(const WideString& artist, const WideString& album, std::int32_t year,
                     const WideString& sortAlbum, const WideString& albumArtist) {
  StandInElement element;
  element.track.artist = artist;
  element.track.albumArtist = albumArtist;
  element.track.album = album;
  element.track.sortAlbum = sortAlbum;
  element.track.name = WIDE("Title of ") + album;
  element.track.year = year;
  return element;
}

StandInElement Element(ElementKind kind) {
  StandInElement element = Track(WIDE("Artist"), WIDE("Album"), 2000);
  element.kind = kind;
  return element;
}

std::string Narrow(const WideString& text) {
  std::string out;
  for (WideChar unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      out.push_back(static_cast<char>(unit));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
      out += escaped;
    }
  }
  return out;
}

CStandInLibrary::CStandInLibrary() {
  auto enumerator = std::make_unique<EnumObject>(*this);
  auto newEnum = std::make_unique<NewEnumObject>(*this, enumerator.get());
  auto tracks = std::make_unique<TracksObject>(*this, newEnum.get());
  auto playlist = std::make_unique<PlaylistObject>(*this, tracks.get());
  auto app = std::make_unique<AppObject>(*this, playlist.get());
  m_Connection.push_back(std::move(app));
  m_Connection.push_back(std::move(playlist));
  m_Connection.push_back(std::move(tracks));
  m_Connection.push_back(std::move(newEnum));
  m_Connection.push_back(std::move(enumerator));
  m_PreviousHost = SetComHost(this);
}

CStandInLibrary::~CStandInLibrary() { SetComHost(m_PreviousHost); }

void CStandInLibrary::SetResult(const std::string& call, HRESULT result, int occurrence) {
  m_Results[{call, occurrence}] = result;
}

std::vector<std::string> CStandInLibrary::CallsStartingWith(const std::string& prefix) const {
  std::vector<std::string> calls;
  for (const std::string& call : m_Calls) {
    if (call.compare(0, prefix.size(), prefix) == 0) calls.push_back(call);
  }
  return calls;
}

std::string CStandInLibrary::Imbalances() const {
  std::string report;
  auto check = [&report](const Object& object) {
    if (object.refs != 1) {
      report += object.name + " holds " + std::to_string(object.refs - 1) + " extra references; ";
    }
  };
  for (const auto& object : m_Connection) check(*object);
  for (const auto& object : m_ElementObjects) {
    if (object) check(*object);
  }
  return report;
}

HRESULT CStandInLibrary::Record(const std::string& call, std::optional<std::string> argument) {
  m_Calls.push_back(argument ? call + "(" + *argument + ")" : call);
  const int occurrence = ++m_CallCounts[call];
  auto found = m_Results.find({call, occurrence});
  if (found == m_Results.end()) found = m_Results.find({call, 0});
  return found != m_Results.end() ? found->second : S_OK;
}

CStandInLibrary::Object* CStandInLibrary::ElementObject(std::size_t index) {
  if (m_ElementObjects.size() <= index) m_ElementObjects.resize(index + 1);
  if (!m_ElementObjects[index]) {
    m_ElementObjects[index] = std::make_unique<TrackObject>(*this, index);
  }
  return m_ElementObjects[index].get();
}

HRESULT CStandInLibrary::Next(VARIANT* element) {
  const HRESULT result = Record("enum.Next");
  if (result != S_OK) return result;
  if (m_Position >= elements.size()) return S_FALSE;
  const std::size_t index = m_Position++;
  auto* object = static_cast<TrackObject*>(ElementObject(index));
  switch (elements[index].kind) {
    case ElementKind::Track:
    case ElementKind::NotATrack:
      object->AddRef();
      V_VT(element) = VT_DISPATCH;
      V_DISPATCH(element) = object;
      break;
    case ElementKind::TrackAsUnknown:
      object->AddRef();
      V_VT(element) = VT_UNKNOWN;
      V_UNKNOWN(element) = object;
      break;
    case ElementKind::TrackByReference:
      V_VT(element) = VT_BYREF | VT_DISPATCH;
      V_DISPATCHREF(element) = object->Slot();
      break;
    case ElementKind::NullReference:
      V_VT(element) = VT_BYREF | VT_DISPATCH;
      V_DISPATCHREF(element) = nullptr;
      break;
    case ElementKind::Empty:
      V_VT(element) = VT_EMPTY;
      break;
    case ElementKind::String:
      V_VT(element) = VT_BSTR;
      V_BSTR(element) = SysAllocString(WIDE("not a track"));
      break;
  }
  return S_OK;
}

HRESULT CStandInLibrary::Reset() {
  const HRESULT result = Record("enum.Reset");
  if (result != S_OK) return result;
  m_Position = 0;
  if (onReset) onReset(*this);
  return S_OK;
}

HRESULT CStandInLibrary::Initialize(DWORD concurrency) {
  if (concurrency != COINIT_MULTITHREADED) return Record("CoInitializeEx", "not multithreaded");
  return Record("CoInitializeEx");
}

void CStandInLibrary::Uninitialize() { Record("CoUninitialize"); }

HRESULT CStandInLibrary::CreateInstance(REFCLSID clsid, DWORD context, REFIID iid, void** object) {
  const HRESULT result = Record("CoCreateInstance");
  if (clsid != CLSID_iTunesApp || context != CLSCTX_LOCAL_SERVER) return REGDB_E_CLASSNOTREG;
  if (iid != IID_IiTunes) return E_NOINTERFACE;
  if (result >= 0 && givesNothing.count("CoCreateInstance") == 0) {
    Object* app = m_Connection.front().get();
    auto* iTunes = static_cast<AppObject*>(app);
    iTunes->AddRef();
    *object = static_cast<IiTunes*>(iTunes);
  }
  return result;
}
