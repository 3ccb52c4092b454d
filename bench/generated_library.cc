#include "bench/generated_library.h"

#include <cstdint>

#include "library/itunes.h"
#include "library/lasting_objects.h"

namespace {

// Appends the decimal digits of `value`.
WideChar* Digits(WideChar* at, std::size_t value) {
  WideChar reversed[24];
  int count = 0;
  do {
    reversed[count++] = static_cast<WideChar>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *at++ = reversed[--count];
  return at;
}

BSTR Text(const WideChar* prefix, std::size_t number) {
  WideChar buffer[64];
  WideChar* at = buffer;
  for (; *prefix != 0; ++prefix) *at++ = *prefix;
  at = Digits(at, number);
  return SysAllocStringLen(buffer, static_cast<UINT>(at - buffer));
}

std::size_t g_liveTracks = 0;

class GeneratedTrack final : public IITFileOrCDTrack {
 public:
  GeneratedTrack(std::size_t index, std::size_t albums) : m_Index(index), m_Album(index % albums) {
    ++g_liveTracks;
  }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IITFileOrCDTrack) {
      return E_NOINTERFACE;
    }
    AddRef();
    *out = this;
    return S_OK;
  }
  ULONG AddRef() override { return ++m_Refs; }
  ULONG Release() override {
    if (--m_Refs != 0) return m_Refs;
    --g_liveTracks;
    delete this;
    return 0;
  }

  HRESULT get_Artist(BSTR* out) override {
    *out = Text(WIDE("Artist "), m_Album % 4000);
    return S_OK;
  }
  HRESULT get_AlbumArtist(BSTR* out) override {
    *out = IsCompilation() ? SysAllocString(WIDE("Various Artists")) : nullptr;
    return S_OK;
  }
  HRESULT get_Album(BSTR* out) override {
    *out = Text(WIDE("The Album Number "), m_Album);
    return S_OK;
  }
  HRESULT get_SortAlbum(BSTR* out) override {
    *out = nullptr;
    return S_OK;
  }
  HRESULT get_Name(BSTR* out) override {
    *out = Text(WIDE("Track "), m_Index);
    return S_OK;
  }
  HRESULT get_Year(std::int32_t* out) override {
    *out = static_cast<std::int32_t>(1950 + m_Album % 70);
    return S_OK;
  }
  HRESULT put_SortAlbum(BSTR) override { return S_OK; }

 private:
  ~GeneratedTrack() = default;
  bool IsCompilation() const { return m_Album % 10 == 0; }

  std::size_t m_Index;
  std::size_t m_Album;
  ULONG m_Refs = 1;
};

class Enumerator final : public CLasting<IEnumVARIANT> {
 public:
  Enumerator(std::size_t tracks, std::size_t albums) : m_Tracks(tracks), m_Albums(albums) {}
  HRESULT Next(ULONG count, VARIANT* element, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (count != 1) return E_FAIL;
    if (m_Position == m_Tracks) return S_FALSE;
    V_VT(element) = VT_DISPATCH;
    V_DISPATCH(element) = new GeneratedTrack(m_Position++, m_Albums);
    if (fetched != nullptr) *fetched = 1;
    return S_OK;
  }
  HRESULT Reset() override {
    m_Position = 0;
    return S_OK;
  }

 protected:
  const IID& Own() const override { return IID_IEnumVARIANT; }

 private:
  std::size_t m_Tracks, m_Albums, m_Position = 0;
};

}  // namespace

struct CGeneratedLibrary::Objects {
  Objects(std::size_t tracks, std::size_t albums)
      : enumerator(tracks, albums), connection(&enumerator) {}
  Enumerator enumerator;
  CLastingConnection connection;
};

CGeneratedLibrary::CGeneratedLibrary(std::size_t tracks, std::size_t albums)
    : m_Objects(new Objects(tracks, albums)), m_PreviousHost(SetComHost(this)) {}

CGeneratedLibrary::~CGeneratedLibrary() {
  SetComHost(m_PreviousHost);
  delete m_Objects;
}

HRESULT CGeneratedLibrary::Initialize(DWORD) { return S_OK; }

void CGeneratedLibrary::Uninitialize() {}

HRESULT CGeneratedLibrary::CreateInstance(REFCLSID clsid, DWORD, REFIID iid, void** object) {
  if (clsid != CLSID_iTunesApp) return REGDB_E_CLASSNOTREG;
  return m_Objects->connection.Application(iid, object);
}

std::size_t CGeneratedLibrary::LiveTracks() const { return g_liveTracks; }
