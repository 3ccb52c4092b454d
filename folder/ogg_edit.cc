#include "folder/ogg_edit.h"

bool EditOggSortAlbum(const ByteSource&, const WideString&, Splices& splices, std::string& reason) {
  splices.clear();
  reason = "not supported yet";
  return false;
}
