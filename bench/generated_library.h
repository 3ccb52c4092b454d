// A library of any size that makes every track when the enumerator reaches
// it and holds nothing per track, so that a benchmark measures the tool and
// not the library. Track i belongs to album i % albums; every tenth album is
// a compilation, and no track has a SortAlbum yet, so every one needs a key.
#pragma once

#include <cstddef>

#include "library/com.h"

class CGeneratedLibrary : public ComHost {
 public:
  CGeneratedLibrary(std::size_t tracks, std::size_t albums);
  ~CGeneratedLibrary() override;
  CGeneratedLibrary(const CGeneratedLibrary&) = delete;
  CGeneratedLibrary& operator=(const CGeneratedLibrary&) = delete;

  HRESULT Initialize(DWORD concurrency) override;
  void Uninitialize() override;
  HRESULT CreateInstance(REFCLSID clsid, DWORD context, REFIID iid, void** object) override;

  // Tracks alive now, to show that none outlives its element.
  std::size_t LiveTracks() const;

  struct Objects;

 private:
  Objects* m_Objects;
  ComHost* m_PreviousHost;
};
