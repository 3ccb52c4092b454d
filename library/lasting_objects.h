// The objects of a library's connection (application, library playlist,
// track collection) for a library whose tracks come from one enumerator of
// its own. They live as long as the library that holds them; their counts
// only follow the references, they free nothing.
#pragma once

#include "library/itunes.h"

template <typename Interface>
class CLasting : public Interface {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != Own()) return E_NOINTERFACE;
    AddRef();
    *out = this;
    return S_OK;
  }
  ULONG AddRef() override { return ++m_Refs; }
  ULONG Release() override { return --m_Refs; }

 protected:
  // The interface's own identifier, where a client asks for it.
  virtual const IID& Own() const { return IID_IUnknown; }

 private:
  ULONG m_Refs = 1;
};

// The application down to the collection, whose every _NewEnum rewinds the
// enumerator and hands it out.
class CLastingConnection {
 public:
  explicit CLastingConnection(IEnumVARIANT* enumerator)
      : m_Tracks(enumerator), m_Playlist(&m_Tracks), m_App(&m_Playlist) {}
  CLastingConnection(const CLastingConnection&) = delete;
  CLastingConnection& operator=(const CLastingConnection&) = delete;

  // The application, for CoCreateInstance.
  HRESULT Application(REFIID iid, void** object) { return m_App.QueryInterface(iid, object); }

 private:
  template <typename Object, typename Interface>
  static HRESULT Give(Object* object, Interface** out) {
    if (out == nullptr) return E_POINTER;
    object->AddRef();
    *out = object;
    return S_OK;
  }

  class Tracks final : public CLasting<IITTrackCollection> {
   public:
    explicit Tracks(IEnumVARIANT* enumerator) : m_Enumerator(enumerator) {}
    HRESULT get__NewEnum(IUnknown** out) override {
      m_Enumerator->Reset();
      return Give(m_Enumerator, out);
    }

   private:
    IEnumVARIANT* m_Enumerator;
  };

  class Playlist final : public CLasting<IITLibraryPlaylist> {
   public:
    explicit Playlist(Tracks* tracks) : m_Tracks(tracks) {}
    HRESULT get_Tracks(IITTrackCollection** out) override { return Give(m_Tracks, out); }

   private:
    Tracks* m_Tracks;
  };

  class App final : public CLasting<IiTunes> {
   public:
    explicit App(Playlist* playlist) : m_Playlist(playlist) {}
    HRESULT CheckVersion(std::int32_t, std::int32_t, VARIANT_BOOL* compatible) override {
      if (compatible == nullptr) return E_POINTER;
      *compatible = VARIANT_TRUE;
      return S_OK;
    }
    HRESULT get_LibraryPlaylist(IITLibraryPlaylist** out) override { return Give(m_Playlist, out); }

   protected:
    const IID& Own() const override { return IID_IiTunes; }

   private:
    Playlist* m_Playlist;
  };

  Tracks m_Tracks;
  Playlist m_Playlist;
  App m_App;
};
