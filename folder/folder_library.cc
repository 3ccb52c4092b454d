#include "folder/folder_library.h"

#include <optional>

#include "folder/audio_file.h"
#include "folder/folder_walk.h"
#include "library/itunes.h"
#include "library/lasting_objects.h"

namespace {

BSTR Copy(const WideString& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// One item of the walk; a track when its file is audio that could be read.
class FileItem final : public IITFileOrCDTrack {
 public:
  explicit FileItem(const FolderItem& item) : m_Path(item.path), m_Format(item.format) {
    if (m_Format) m_Tags = ReadAudioTags(m_Path, *m_Format);
  }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const bool track = iid == IID_IITFileOrCDTrack && m_Tags.has_value();
    if (iid != IID_IUnknown && iid != IID_IDispatch && !track) return E_NOINTERFACE;
    AddRef();
    *out = this;
    return S_OK;
  }
  ULONG AddRef() override { return ++m_Refs; }
  ULONG Release() override {
    if (--m_Refs != 0) return m_Refs;
    delete this;
    return 0;
  }

  HRESULT get_Artist(BSTR* out) override { return Text(&AudioTags::artist, out); }
  HRESULT get_AlbumArtist(BSTR* out) override { return Text(&AudioTags::albumArtist, out); }
  HRESULT get_Album(BSTR* out) override { return Text(&AudioTags::album, out); }
  HRESULT get_SortAlbum(BSTR* out) override { return Text(&AudioTags::sortAlbum, out); }
  HRESULT get_Name(BSTR* out) override { return Text(&AudioTags::name, out); }
  HRESULT get_Year(std::int32_t* out) override {
    if (out == nullptr) return E_POINTER;
    if (!m_Tags) return E_FAIL;
    *out = m_Tags->year;
    return S_OK;
  }
  // A write succeeds only once the file reads back as written, so the
  // tags then held are what the file holds.
  HRESULT put_SortAlbum(BSTR value) override {
    if (!m_Format || !m_Tags) return E_FAIL;
    const WideString text(value != nullptr ? value : WIDE(""), SysStringLen(value));
    return WriteSortAlbum(m_Path, *m_Format, *m_Tags, text) ? S_OK : E_FAIL;
  }

 private:
  ~FileItem() = default;

  HRESULT Text(WideString AudioTags::*field, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!m_Tags) return E_FAIL;
    *out = Copy((*m_Tags).*field);
    return S_OK;
  }

  std::string m_Path;
  std::optional<AudioFormat> m_Format;
  std::optional<AudioTags> m_Tags;
  ULONG m_Refs = 1;
};

class Enumerator final : public CLasting<IEnumVARIANT> {
 public:
  bool Start(const std::string& root) { return m_Walk.Start(root); }
  HRESULT Next(ULONG count, VARIANT* element, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (count != 1 || element == nullptr) return E_FAIL;
    FolderItem item;
    if (!m_Walk.Next(item)) return S_FALSE;
    V_VT(element) = VT_DISPATCH;
    V_DISPATCH(element) = new FileItem(item);
    if (fetched != nullptr) *fetched = 1;
    return S_OK;
  }
  HRESULT Reset() override {
    m_Walk.Reset();
    return S_OK;
  }

 protected:
  const IID& Own() const override { return IID_IEnumVARIANT; }

 private:
  CFolderWalk m_Walk;
};

}  // namespace

struct CFolderLibrary::Objects {
  Objects() : connection(&enumerator) {}
  Enumerator enumerator;
  CLastingConnection connection;
};

CFolderLibrary::CFolderLibrary()
    : m_Objects(std::make_unique<Objects>()), m_PreviousHost(SetComHost(this)) {}

CFolderLibrary::~CFolderLibrary() { SetComHost(m_PreviousHost); }

HRESULT CFolderLibrary::Initialize(DWORD) {
  SilenceTagLib();
  return S_OK;
}

void CFolderLibrary::Uninitialize() {}

HRESULT CFolderLibrary::CreateInstance(REFCLSID clsid, DWORD, REFIID iid, void** object) {
  if (clsid != CLSID_iTunesApp) return REGDB_E_CLASSNOTREG;
  if (!m_Objects->enumerator.Start(LibraryFolder())) return E_FAIL;
  return m_Objects->connection.Application(iid, object);
}
