// The binding to the media player on Windows. Its interfaces are dual, and
// we have no header of its SDK, so every member is reached late-bound, by
// its automation name through IDispatch. Each of the player's objects is
// wrapped in an object of ours that offers the interfaces of
// library/itunes.h, so that the core sees the same interfaces as on every
// other host; the player's own pointers never reach it.
#include <map>
#include <string>

#include "library/itunes.h"

namespace {

// Every member by its name; the DISPIDs are the same for every object of a
// kind, so each name is looked up once.
HRESULT DispatchId(IDispatch* object, const wchar_t* name, DISPID* id) {
  static std::map<std::wstring, DISPID> known;
  const auto found = known.find(name);
  if (found != known.end()) {
    *id = found->second;
    return S_OK;
  }
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT result = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
  if (result == S_OK) known.emplace(name, *id);
  return result;
}

HRESULT InvokeId(IDispatch* object, DISPID id, WORD flags, VARIANT* arguments, UINT count,
                 VARIANT* result) {
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS parameters = {arguments, nullptr, count, 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    parameters.rgdispidNamedArgs = &put;
    parameters.cNamedArgs = 1;
  }
  if (result != nullptr) VariantInit(result);
  const HRESULT outcome = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters,
                                         result, nullptr, nullptr);
  // A result is used only after success.
  if (outcome != S_OK && result != nullptr) VariantClear(result);
  return outcome;
}

HRESULT InvokeNamed(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* arguments,
                    UINT count, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  const HRESULT found = DispatchId(object, name, &id);
  if (found != S_OK) return found;
  return InvokeId(object, id, flags, arguments, count, result);
}

// A property of the expected type; anything else is a failure.
HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARTYPE type, VARIANT* value) {
  const HRESULT result = InvokeNamed(object, name, DISPATCH_PROPERTYGET, nullptr, 0, value);
  if (result != S_OK) return result;
  if (V_VT(value) == type) return S_OK;
  VariantClear(value);
  return DISP_E_TYPEMISMATCH;
}

// An object of ours around one of the player's, whose reference it holds
// and releases once, when its own last reference goes.
template <typename Interface, typename Player>
class Owner : public Interface {
 public:
  // Takes over the reference that comes with `player`.
  explicit Owner(Player* player) : m_Player(player) {}
  virtual ~Owner() { m_Player->Release(); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && !Answers(iid)) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<Interface*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_Refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --m_Refs;
    if (refs == 0) delete this;
    return refs;
  }

 protected:
  // The interfaces besides IUnknown that this object answers for.
  virtual bool Answers(REFIID) { return false; }

  Player* m_Player;

 private:
  ULONG m_Refs = 1;
};

// One of the player's automation objects.
template <typename Interface>
class Wrapper : public Owner<Interface, IDispatch> {
 public:
  using Owner<Interface, IDispatch>::Owner;

  // The core calls no member of IDispatch itself.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

 protected:
  bool Answers(REFIID iid) override { return iid == IID_IDispatch || AnswersToo(iid); }
  virtual bool AnswersToo(REFIID) { return false; }
};

// An object-valued property, handed out in a wrapper of ours.
template <typename Wrapping, typename Interface>
HRESULT GetWrapped(IDispatch* player, const wchar_t* name, Interface** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  VARIANT value;
  const HRESULT result = GetProperty(player, name, VT_DISPATCH, &value);
  if (result != S_OK) return result;
  if (V_DISPATCH(&value) == nullptr) return E_POINTER;
  *out = new Wrapping(V_DISPATCH(&value));
  return S_OK;
}

class Track final : public Wrapper<IITFileOrCDTrack> {
 public:
  using Wrapper::Wrapper;
  ~Track() override {
    if (m_Track != nullptr) m_Track->Release();
  }

  HRESULT STDMETHODCALLTYPE get_Artist(BSTR* out) override { return Text(L"Artist", out); }
  HRESULT STDMETHODCALLTYPE get_AlbumArtist(BSTR* out) override {
    return Text(L"AlbumArtist", out);
  }
  HRESULT STDMETHODCALLTYPE get_Album(BSTR* out) override { return Text(L"Album", out); }
  HRESULT STDMETHODCALLTYPE get_SortAlbum(BSTR* out) override { return Text(L"SortAlbum", out); }
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return Text(L"Name", out); }
  HRESULT STDMETHODCALLTYPE get_Year(std::int32_t* out) override {
    if (out == nullptr) return E_POINTER;
    if (m_Track == nullptr) return E_NOINTERFACE;
    VARIANT value;
    const HRESULT result = GetProperty(m_Track, L"Year", VT_I4, &value);
    if (result == S_OK) *out = V_I4(&value);
    return result;
  }
  HRESULT STDMETHODCALLTYPE put_SortAlbum(BSTR sortAlbum) override {
    if (m_Track == nullptr) return E_NOINTERFACE;
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = sortAlbum;  // the caller's; not freed here
    return InvokeNamed(m_Track, L"SortAlbum", DISPATCH_PROPERTYPUT, &value, 1, nullptr);
  }

 protected:
  // A track is what the player's object says it is.
  bool AnswersToo(REFIID iid) override {
    if (iid != IID_IITFileOrCDTrack) return false;
    if (m_Track != nullptr) return true;
    void* track = nullptr;
    if (m_Player->QueryInterface(IID_IITFileOrCDTrack, &track) != S_OK || track == nullptr) {
      return false;
    }
    m_Track = static_cast<IDispatch*>(track);
    return true;
  }

 private:
  HRESULT Text(const wchar_t* name, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (m_Track == nullptr) return E_NOINTERFACE;
    VARIANT value;
    const HRESULT result = GetProperty(m_Track, name, VT_BSTR, &value);
    if (result == S_OK) *out = V_BSTR(&value);  // now the caller's
    return result;
  }

  // The player's file-or-CD-track interface, a dual one and so an IDispatch.
  IDispatch* m_Track = nullptr;
};

// The player's enumerator, with every element that is an object handed out
// in a Track of ours; other elements pass as they are.
class Enumerator final : public Owner<IEnumVARIANT, IEnumVARIANT> {
 public:
  using Owner::Owner;

  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* elements, ULONG* fetched) override {
    ULONG got = 0;
    const HRESULT result = m_Player->Next(count, elements, &got);
    if (fetched != nullptr) *fetched = got;
    for (ULONG i = 0; i < got && i < count; ++i) Wrap(elements[i]);
    return result;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override { return m_Player->Skip(count); }
  HRESULT STDMETHODCALLTYPE Reset() override { return m_Player->Reset(); }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  static void Wrap(VARIANT& element) {
    const VARTYPE type = V_VT(&element);
    if ((type == VT_DISPATCH || type == VT_UNKNOWN) && V_UNKNOWN(&element) != nullptr) {
      IDispatch* object = nullptr;
      V_UNKNOWN(&element)->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object));
      VariantClear(&element);
      if (object != nullptr) {
        V_VT(&element) = VT_DISPATCH;
        V_DISPATCH(&element) = new Track(object);
      }
    } else if (type & VT_BYREF) {
      // A reference into the player's memory cannot be wrapped; it is no track.
      VariantInit(&element);
    }
  }

 protected:
  bool Answers(REFIID iid) override { return iid == IID_IEnumVARIANT; }
};

// What the collection's _NewEnum gives: an object to be asked for its
// enumerator.
class NewEnum final : public Owner<IUnknown, IUnknown> {
 public:
  using Owner::Owner;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IEnumVARIANT) return Owner::QueryInterface(iid, out);
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    void* enumerator = nullptr;
    const HRESULT result = m_Player->QueryInterface(IID_IEnumVARIANT, &enumerator);
    if (result != S_OK) return result;
    if (enumerator == nullptr) return E_POINTER;
    *out = static_cast<IEnumVARIANT*>(new Enumerator(static_cast<IEnumVARIANT*>(enumerator)));
    return S_OK;
  }
};

class Collection final : public Wrapper<IITTrackCollection> {
 public:
  using Wrapper::Wrapper;
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    VARIANT value;
    const HRESULT result = InvokeId(m_Player, DISPID_NEWENUM,
                                    DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, 0, &value);
    if (result != S_OK) return result;
    if ((V_VT(&value) != VT_UNKNOWN && V_VT(&value) != VT_DISPATCH) ||
        V_UNKNOWN(&value) == nullptr) {
      VariantClear(&value);
      return DISP_E_TYPEMISMATCH;
    }
    *out = new NewEnum(V_UNKNOWN(&value));
    return S_OK;
  }
};

class Playlist final : public Wrapper<IITLibraryPlaylist> {
 public:
  using Wrapper::Wrapper;
  HRESULT STDMETHODCALLTYPE get_Tracks(IITTrackCollection** out) override {
    return GetWrapped<Collection>(m_Player, L"Tracks", out);
  }
};

class Application final : public Wrapper<IiTunes> {
 public:
  using Wrapper::Wrapper;
  HRESULT STDMETHODCALLTYPE CheckVersion(std::int32_t major, std::int32_t minor,
                                         VARIANT_BOOL* compatible) override {
    if (compatible == nullptr) return E_POINTER;
    VARIANT arguments[2];  // in reverse order
    VariantInit(&arguments[0]);
    VariantInit(&arguments[1]);
    V_VT(&arguments[0]) = VT_I4;
    V_I4(&arguments[0]) = minor;
    V_VT(&arguments[1]) = VT_I4;
    V_I4(&arguments[1]) = major;
    VARIANT value;
    HRESULT result = InvokeNamed(m_Player, L"CheckVersion", DISPATCH_METHOD, arguments, 2, &value);
    if (result != S_OK) return result;
    if (V_VT(&value) != VT_BOOL) {
      VariantClear(&value);
      return DISP_E_TYPEMISMATCH;
    }
    *compatible = V_BOOL(&value);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LibraryPlaylist(IITLibraryPlaylist** out) override {
    return GetWrapped<Playlist>(m_Player, L"LibraryPlaylist", out);
  }

 protected:
  bool AnswersToo(REFIID iid) override { return iid == IID_IiTunes; }
};

}  // namespace

HRESULT CreateiTunesApp(IiTunes** app) {
  if (app == nullptr) return E_POINTER;
  *app = nullptr;
  IDispatch* player = nullptr;
  const HRESULT result = CoCreateInstance(CLSID_iTunesApp, nullptr, CLSCTX_LOCAL_SERVER,
                                          IID_IiTunes, reinterpret_cast<void**>(&player));
  if (result != S_OK) {
    if (player != nullptr) player->Release();
    return result;
  }
  if (player == nullptr) return E_POINTER;
  *app = new Application(player);
  return S_OK;
}
