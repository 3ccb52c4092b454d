#include "folder/mp4_edit.h"

bool EditMp4SortAlbum(const ByteSource&, const WideString&, Splices& splices, std::string& reason) {
  splices.clear();
  reason = "not supported yet";
  return false;
}
