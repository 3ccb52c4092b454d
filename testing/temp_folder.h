// A fresh folder under /tmp for one test, removed with everything in it
// (tests only).
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/kestrune-test-XXXXXX";
    m_Path = mkdtemp(name) != nullptr ? name : "";
  }
  ~TempFolder() {
    const std::string command = "chmod -R u+rwx '" + m_Path + "' && rm -rf '" + m_Path + "'";
    if (!m_Path.empty() && std::system(command.c_str()) != 0) m_Path.clear();
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return m_Path; }

  // Writes `content` to the file at `relative`, making its folders.
  std::string Write(const std::string& relative, const std::string& content) const {
    const std::string path = m_Path + "/" + relative;
    const std::string folder = path.substr(0, path.rfind('/'));
    if (std::system(("mkdir -p '" + folder + "'").c_str()) != 0) return path;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string Copy(const std::string& from, const std::string& relative) const {
    std::ifstream source(from, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(source)), {});
    return Write(relative, content);
  }

 private:
  std::string m_Path;
};
