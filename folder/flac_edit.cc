#include "folder/flac_edit.h"

bool EditFlacSortAlbum(const ByteSource&, const WideString&, Splices& splices, std::string& reason) {
  splices.clear();
  reason = "not supported yet";
  return false;
}
