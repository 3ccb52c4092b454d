#include "folder/folder_walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "folder/new_file.h"

bool CFolderWalk::Enter(const std::string& path) {
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return false;
  Level level;
  level.path = path;
  constexpr std::size_t kMostTemporaries = 4096;
  const std::size_t prefixLength = std::strlen(kTemporaryPrefix);
  while (const dirent* entry = readdir(folder)) {
    // Hidden names, "." and ".." among them, are not part of the library.
    if (entry->d_name[0] != '.') {
      level.entries.push_back({entry->d_name, entry->d_type});
    } else if (!m_Walked && std::strncmp(entry->d_name, kTemporaryPrefix, prefixLength) == 0 &&
               m_Temporaries.size() < kMostTemporaries) {
      m_Temporaries.push_back(path + "/" + entry->d_name);
    }
  }
  closedir(folder);
  std::sort(level.entries.begin(), level.entries.end());
  m_Levels.push_back(std::move(level));
  return true;
}

bool CFolderWalk::Start(const std::string& root) {
  // Until one walk has been whole, a new start notes them anew.
  if (root != m_Root) m_Walked = false;
  if (!m_Walked) m_Temporaries.clear();
  m_Root = root;
  m_Levels.clear();
  struct stat status {};
  return stat(root.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && Enter(root);
}

bool CFolderWalk::Next(FolderItem& item) {
  while (!m_Levels.empty()) {
    Level& level = m_Levels.back();
    if (level.next == level.entries.size()) {
      m_Levels.pop_back();
      continue;
    }
    const Entry& entry = level.entries[level.next++];
    const std::string path = level.path + "/" + entry.name;
    const std::optional<AudioFormat> format = FormatOfName(entry.name);
    if (entry.type == DT_REG) {
      if (!format) continue;
      item = {path, format, std::string()};
      return true;
    }
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0) {
      if (!format) continue;  // gone since the folder was listed
      item = {path, std::nullopt, "it is gone (" + std::string(std::strerror(errno)) + ")"};
      return true;
    }
    struct stat target = link;
    const bool followed = S_ISLNK(link.st_mode) && stat(path.c_str(), &target) == 0;
    if (S_ISDIR(link.st_mode)) {
      // An unreadable folder is an item that is not a track; so is a folder
      // under an audio file's name, whose contents are walked all the same.
      if (!Enter(path)) {
        item = {path, std::nullopt,
                "the folder cannot be read (" + std::string(std::strerror(errno)) + ")"};
        return true;
      }
      if (format) {
        item = {path, std::nullopt, "it is a folder"};
        return true;
      }
      continue;
    }
    if (S_ISLNK(link.st_mode) && followed && S_ISDIR(target.st_mode)) continue;  // no loops
    if (!format) continue;
    if (S_ISLNK(link.st_mode) && !followed) {
      item = {path, std::nullopt, "it is a link to nothing"};
    } else if (!S_ISREG(target.st_mode)) {
      item = {path, std::nullopt, "it is not a regular file"};
    } else {
      item = {path, format, std::string()};
    }
    return true;
  }
  m_Walked = true;
  return false;
}

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// XDG_MUSIC_DIR="$HOME/Music" in the user's folder settings.
std::string MusicFolderFromSettings(const std::string& home) {
  std::string config = Environment("XDG_CONFIG_HOME");
  if (config.empty()) config = home + "/.config";
  std::ifstream settings(config + "/user-dirs.dirs");
  const std::string key = "XDG_MUSIC_DIR=";
  for (std::string line; std::getline(settings, line);) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
    return value;
  }
  return "";
}

}  // namespace

std::string LibraryFolder() {
  std::string folder = Environment("KESTRUNE_LIBRARY");
  if (!folder.empty()) return folder;
  folder = Environment("XDG_MUSIC_DIR");
  if (!folder.empty()) return folder;
  const std::string home = Environment("HOME");
  folder = MusicFolderFromSettings(home);
  return folder.empty() ? home + "/Music" : folder;
}
