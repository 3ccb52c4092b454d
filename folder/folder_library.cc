#include "folder/folder_library.h"

#include <cstdio>
#include <optional>
#include <unordered_set>

#include "folder/audio_file.h"
#include "folder/folder_walk.h"
#include "folder/library_lock.h"
#include "folder/sort_album_write.h"
#include "library/itunes.h"
#include "library/lasting_objects.h"

namespace {

BSTR Copy(const WideString& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// One line on stderr, so that a user can act on it; stdout stays the run's.
// A name's control characters would break the line or reach the terminal
// as commands.
void Report(const std::string& path, const char* what, const std::string& reason) {
  std::string line = "kestrune: ";
  for (char c : path) {
    const auto unit = static_cast<unsigned char>(c);
    line.push_back(unit < 0x20 || unit == 0x7F ? '?' : c);
  }
  line += std::string(": ") + what + ": " + reason + "\n";
  std::fputs(line.c_str(), stderr);
}

// One item of the walk; a track when its file is audio that could be read.
class FileItem final : public IITFileOrCDTrack {
 public:
  FileItem(const FolderItem& item, CLibraryLock& lock, const std::vector<std::string>& temporaries)
      : m_Path(item.path), m_Format(item.format), m_Lock(lock), m_Temporaries(temporaries) {
    m_Problem = item.problem;
    if (m_Format) m_Tags = ReadAudioTags(m_Path, *m_Format, &m_Problem);
  }

  // Why the item is not a track; empty for a track.
  const std::string& Problem() const { return m_Problem; }

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
    std::string reason;
    if (!m_Lock.Acquire(m_Temporaries)) {
      Report(m_Path, "refused", "the library folder cannot be locked against other runs");
      return E_FAIL;
    }
    if (!WriteSortAlbum(m_Path, *m_Format, *m_Tags, text, reason)) {
      Report(m_Path, "refused", reason);
      return E_FAIL;
    }
    return S_OK;
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
  std::string m_Problem;
  CLibraryLock& m_Lock;
  const std::vector<std::string>& m_Temporaries;
  ULONG m_Refs = 1;
};

class Enumerator final : public CLasting<IEnumVARIANT> {
 public:
  ~Enumerator() { m_Lock.RemoveStale(m_Walk.Temporaries()); }

  bool Start(const std::string& root) {
    m_Lock.SetRoot(root);
    return m_Walk.Start(root);
  }
  HRESULT Next(ULONG count, VARIANT* element, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (count != 1 || element == nullptr) return E_FAIL;
    FolderItem item;
    if (!m_Walk.Next(item)) return S_FALSE;
    auto* file = new FileItem(item, m_Lock, m_Walk.Temporaries());
    // Once a run, though the second pass meets the item again.
    if (!file->Problem().empty() && m_Reported.insert(item.path).second) {
      Report(item.path, "not a track", file->Problem());
    }
    V_VT(element) = VT_DISPATCH;
    V_DISPATCH(element) = file;
    if (fetched != nullptr) *fetched = 1;
    return S_OK;
  }
  HRESULT Reset() override { return m_Walk.Reset() ? S_OK : E_FAIL; }

 protected:
  const IID& Own() const override { return IID_IEnumVARIANT; }

 private:
  CFolderWalk m_Walk;
  CLibraryLock m_Lock;
  std::unordered_set<std::string> m_Reported;
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
