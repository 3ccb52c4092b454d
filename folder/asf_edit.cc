#include "folder/asf_edit.h"

bool EditAsfSortAlbum(const ByteSource&, const WideString&, Splices& splices, std::string& reason) {
  splices.clear();
  reason = "not supported yet";
  return false;
}
