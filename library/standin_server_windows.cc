// The stand-in player of the Windows tests (tests only): a local COM server
// registered for the player's class id, whose objects implement IDispatch
// through the type library compiled from standin_server.idl.
//
// Its library is library.txt beside the executable, a line per item:
//   track<TAB>Artist<TAB>AlbumArtist<TAB>Album<TAB>SortAlbum<TAB>Name<TAB>Year[<TAB>refuse]
//   other                  (an item that is not a file track)
//   incompatible           (CheckVersion says no)
// in UTF-8. Every accepted write is stored back into library.txt and every
// put is appended to written.txt as "index<TAB>value" (or "index<TAB>refused").
// It exits once its last object is gone, or after 30 idle seconds.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

const CLSID kPlayerClass = {
    0xDC0C2640, 0x1415, 0x4644, {0x87, 0x5C, 0x6F, 0x4D, 0x76, 0x98, 0x39, 0xBA}};
const IID kApplication = {
    0x9DD6680B, 0x3EDC, 0x40DB, {0xA7, 0x71, 0xE6, 0xFE, 0x48, 0x32, 0xE3, 0x4A}};
const IID kPlaylist = {
    0x3F0B6E51, 0x2A47, 0x4C1D, {0x8B, 0x9E, 0x7D, 0x2C, 0x5A, 0x1E, 0x0F, 0x61}};
const IID kTracks = {0x5C8D2F13, 0x9E64, 0x4A7B, {0xB1, 0xC0, 0x3E, 0x6F, 0x8A, 0x2D, 0x4B, 0x72}};
const IID kFileTrack = {
    0x00D7FE99, 0x7868, 0x4CC7, {0xAD, 0x9E, 0xAC, 0xFD, 0x70, 0xD0, 0x95, 0x66}};
const IID kOther = {0x7E2A9C35, 0x4B18, 0x4F6D, {0xA3, 0xE2, 0x9C, 0x1B, 0x7D, 0x5F, 0x8A, 0x43}};

// The vtables of the type library's interfaces, in the order of the IDL.
struct IApplication : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE CheckVersion(LONG, LONG, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LibraryPlaylist(IDispatch**) = 0;
};
struct IPlaylist : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Tracks(IDispatch**) = 0;
};
struct ITracks : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) = 0;
};
struct IFileTrack : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Artist(BSTR*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AlbumArtist(BSTR*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Album(BSTR*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SortAlbum(BSTR*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SortAlbum(BSTR) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Year(LONG*) = 0;
};
struct IOther : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Kind(BSTR*) = 0;
};

std::atomic<long> g_objects{0};
std::atomic<bool> g_used{false};
std::atomic<DWORD> g_lastActivity{0};
ITypeLib* g_typeLib = nullptr;
CRITICAL_SECTION g_lock;

// Holds the library's files for one call.
class Hold {
 public:
  Hold() { EnterCriticalSection(&g_lock); }
  ~Hold() { LeaveCriticalSection(&g_lock); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
};

void Touch() { g_lastActivity = GetTickCount(); }

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.rfind(L'\\') + 1) + name;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

struct Item {
  bool track = false;
  std::vector<std::wstring> fields;  // Artist, AlbumArtist, Album, SortAlbum, Name, Year
  bool refuse = false;
};

struct Library {
  bool compatible = true;
  std::vector<Item> items;
};

std::string ReadAll(const std::wstring& path) {
  std::string content;
  if (FILE* file = _wfopen(path.c_str(), L"rb")) {
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
      content.append(chunk, n);
    std::fclose(file);
  }
  return content;
}

void WriteAll(const std::wstring& path, const std::string& content, const wchar_t* mode) {
  if (FILE* file = _wfopen(path.c_str(), mode)) {
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }
}

Library Load() {
  Library library;
  std::stringstream file(ReadAll(Beside(L"library.txt")));
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> parts;
    std::stringstream stream(line);
    for (std::string part; std::getline(stream, part, '\t');) parts.push_back(part);
    if (parts.empty()) continue;
    if (parts[0] == "incompatible") {
      library.compatible = false;
    } else if (parts[0] == "other") {
      library.items.push_back(Item());
    } else if (parts[0] == "track" && parts.size() >= 7) {
      Item item;
      item.track = true;
      for (std::size_t i = 1; i <= 6; ++i) item.fields.push_back(Wide(parts[i]));
      item.refuse = parts.size() > 7 && parts[7] == "refuse";
      library.items.push_back(item);
    }
  }
  return library;
}

void Store(const Library& library) {
  std::ostringstream file;
  if (!library.compatible) file << "incompatible\n";
  for (const Item& item : library.items) {
    if (!item.track) {
      file << "other\n";
      continue;
    }
    file << "track";
    for (const std::wstring& field : item.fields) file << '\t' << Utf8(field);
    file << (item.refuse ? "\trefuse\n" : "\n");
  }
  WriteAll(Beside(L"library.txt"), file.str(), L"wb");
}

void Record(std::size_t index, const std::string& what) {
  WriteAll(Beside(L"written.txt"), std::to_string(index) + "\t" + what + "\n", L"ab");
}

template <typename Interface>
class Automation : public Interface {
 public:
  explicit Automation(const IID& iid) : m_Iid(iid) {
    ++g_objects;
    g_used = true;
    Touch();
  }
  virtual ~Automation() {
    if (m_Info != nullptr) m_Info->Release();
    --g_objects;
    Touch();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != m_Iid) return E_NOINTERFACE;
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
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* own = Info();
    if (own == nullptr) return E_FAIL;
    own->AddRef();
    *info = own;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    Touch();
    return Info() != nullptr ? DispGetIDsOfNames(Info(), names, count, ids) : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argument) override {
    Touch();
    if (Info() == nullptr) return E_FAIL;
    return DispInvoke(static_cast<Interface*>(this), Info(), id, flags, parameters, result,
                      exception, argument);
  }

 private:
  ITypeInfo* Info() {
    if (m_Info == nullptr && g_typeLib != nullptr) g_typeLib->GetTypeInfoOfGuid(m_Iid, &m_Info);
    return m_Info;
  }

  IID m_Iid;
  ITypeInfo* m_Info = nullptr;
  std::atomic<ULONG> m_Refs{1};
};

HRESULT Text(const std::wstring& text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return S_OK;
}

class FileTrack final : public Automation<IFileTrack> {
 public:
  explicit FileTrack(std::size_t index) : Automation(kFileTrack), m_Index(index) {}
  HRESULT STDMETHODCALLTYPE get_Artist(BSTR* out) override { return Field(0, out); }
  HRESULT STDMETHODCALLTYPE get_AlbumArtist(BSTR* out) override { return Field(1, out); }
  HRESULT STDMETHODCALLTYPE get_Album(BSTR* out) override { return Field(2, out); }
  HRESULT STDMETHODCALLTYPE get_SortAlbum(BSTR* out) override { return Field(3, out); }
  HRESULT STDMETHODCALLTYPE put_SortAlbum(BSTR value) override {
    Hold hold;
    Library library = Load();
    if (m_Index >= library.items.size() || library.items[m_Index].refuse) {
      Record(m_Index, "refused");
      return E_ACCESSDENIED;
    }
    const std::wstring text(value != nullptr ? value : L"", SysStringLen(value));
    library.items[m_Index].fields[3] = text;
    Store(library);
    Record(m_Index, Utf8(text));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return Field(4, out); }
  HRESULT STDMETHODCALLTYPE get_Year(LONG* out) override {
    Hold hold;
    const Library library = Load();
    if (m_Index >= library.items.size()) return E_FAIL;
    *out = _wtol(library.items[m_Index].fields[5].c_str());
    return S_OK;
  }

 private:
  HRESULT Field(std::size_t field, BSTR* out) {
    Hold hold;
    const Library library = Load();
    if (m_Index >= library.items.size()) return E_FAIL;
    return Text(library.items[m_Index].fields[field], out);
  }
  std::size_t m_Index;
};

class Other final : public Automation<IOther> {
 public:
  Other() : Automation(kOther) {}
  HRESULT STDMETHODCALLTYPE get_Kind(BSTR* out) override { return Text(L"not a track", out); }
};

class Enumerator final : public IEnumVARIANT {
 public:
  Enumerator() {
    ++g_objects;
    Touch();
  }
  ~Enumerator() {
    --g_objects;
    Touch();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IEnumVARIANT) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<IEnumVARIANT*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_Refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --m_Refs;
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* elements, ULONG* fetched) override {
    Touch();
    std::size_t size;
    std::vector<bool> tracks;
    {
      Hold hold;
      const Library library = Load();
      for (const Item& item : library.items) tracks.push_back(item.track);
    }
    size = tracks.size();
    ULONG got = 0;
    for (; got < count && m_Position < size; ++got, ++m_Position) {
      VariantInit(&elements[got]);
      V_VT(&elements[got]) = VT_DISPATCH;
      V_DISPATCH(&elements[got]) = tracks[m_Position]
                                       ? static_cast<IDispatch*>(new FileTrack(m_Position))
                                       : static_cast<IDispatch*>(new Other());
    }
    if (fetched != nullptr) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    m_Position += count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    Touch();
    m_Position = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  std::size_t m_Position = 0;
  std::atomic<ULONG> m_Refs{1};
};

class Tracks final : public Automation<ITracks> {
 public:
  Tracks() : Automation(kTracks) {}
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** out) override {
    *out = static_cast<IEnumVARIANT*>(new Enumerator());
    return S_OK;
  }
};

class Playlist final : public Automation<IPlaylist> {
 public:
  Playlist() : Automation(kPlaylist) {}
  HRESULT STDMETHODCALLTYPE get_Tracks(IDispatch** out) override {
    *out = new Tracks();
    return S_OK;
  }
};

class Application final : public Automation<IApplication> {
 public:
  Application() : Automation(kApplication) {}
  HRESULT STDMETHODCALLTYPE CheckVersion(LONG, LONG, VARIANT_BOOL* compatible) override {
    Hold hold;
    *compatible = Load().compatible ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LibraryPlaylist(IDispatch** out) override {
    *out = new Playlist();
    return S_OK;
  }
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Application* app = new Application();
    const HRESULT result = app->QueryInterface(iid, out);
    app->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

int wmain() {
  InitializeCriticalSection(&g_lock);
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  if (FAILED(LoadTypeLibEx(Beside(L"standin.tlb").c_str(), REGKIND_NONE, &g_typeLib))) return 2;
  static Factory factory;
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(kPlayerClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                   &cookie))) {
    return 3;
  }
  Touch();
  for (;;) {
    Sleep(50);
    const DWORD idle = GetTickCount() - g_lastActivity;
    if ((g_used && g_objects == 0 && idle > 500) || idle > 30000) break;
  }
  CoRevokeClassObject(cookie);
  g_typeLib->Release();
  CoUninitialize();
  return 0;
}
