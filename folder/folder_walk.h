// The items of a library folder, depth first, the entries of every folder in
// byte order of their names, so that every machine walks them alike. Only
// one folder's names per level are held, never a list of the library.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "folder/audio_file.h"

struct FolderItem {
  std::string path;
  // None: an item that is not a track (a folder under an audio name, a
  // folder or file that cannot be read); `problem` then says which.
  std::optional<AudioFormat> format;
  std::string problem;
};

class CFolderWalk {
 public:
  // False when `root` is not a folder that can be read.
  bool Start(const std::string& root);
  // False once every item has been given.
  bool Next(FolderItem& item);
  // False when the folder can no longer be read (a drive unplugged).
  bool Reset() { return Start(m_Root); }
  // The hidden temporaries of earlier writes (".kestrune-..." names) that
  // the first whole walk passed, at most a few thousand.
  const std::vector<std::string>& Temporaries() const { return m_Temporaries; }

 private:
  struct Entry {
    std::string name;
    unsigned char type;  // as the folder listing gives it, to spare a stat
    bool operator<(const Entry& other) const { return name < other.name; }
  };
  struct Level {
    std::string path;
    std::vector<Entry> entries;
    std::size_t next = 0;
  };
  // Pushes the folder's level; false when it cannot be read.
  bool Enter(const std::string& path);

  std::string m_Root;
  std::vector<Level> m_Levels;
  std::vector<std::string> m_Temporaries;
  bool m_Walked = false;  // once, to the end
};

// Where the library is: $KESTRUNE_LIBRARY, else the user's music folder
// ($XDG_MUSIC_DIR, from the environment or ~/.config/user-dirs.dirs), else
// ~/Music.
std::string LibraryFolder();
