// The media library off Windows: the audio files under one folder (see
// LibraryFolder), read and written through audio_file.h. Installed as the
// COM host, it answers for the player's application class; the enumerator
// walks the folder and makes each track when it reaches it.
#pragma once

#include <memory>

#include "library/com.h"

class CFolderLibrary : public ComHost {
 public:
  CFolderLibrary();
  ~CFolderLibrary() override;
  CFolderLibrary(const CFolderLibrary&) = delete;
  CFolderLibrary& operator=(const CFolderLibrary&) = delete;

  HRESULT Initialize(DWORD concurrency) override;
  void Uninitialize() override;
  // Fails when the library folder does not exist or cannot be read.
  HRESULT CreateInstance(REFCLSID clsid, DWORD context, REFIID iid, void** object) override;

  struct Objects;

 private:
  std::unique_ptr<Objects> m_Objects;
  ComHost* m_PreviousHost;
};
