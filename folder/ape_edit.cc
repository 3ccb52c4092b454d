#include "folder/ape_edit.h"

bool EditApeSortAlbum(const ByteSource&, const WideString&, ApeTagMissing, Splices& splices,
                      std::string& reason) {
  splices.clear();
  reason = "not supported yet";
  return false;
}
