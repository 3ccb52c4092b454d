#include "library/itunes.h"

HRESULT CreateiTunesApp(IiTunes** app) {
  return CoCreateInstance(CLSID_iTunesApp, nullptr, CLSCTX_LOCAL_SERVER, IID_IiTunes,
                          reinterpret_cast<void**>(app));
}
