#include "files/file_path.h"

#include <vector>

namespace vela {

std::string FilePath::full() const {
  if (name.empty()) return directory;
  std::string path = directory == "/" ? std::string() : directory;
  return path.append("/").append(name);
}

Result<FilePath> FilePath::parse(std::string_view text) {
  if (text.empty() || text.front() != '/') return fail("path must be absolute");
  if (text.size() > 4096) return fail("path too long");
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return fail("path contains control characters");
  }
  std::vector<std::string_view> parts;
  std::size_t start = 1;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(start, end - start);
    if (part == "." || part == "..") return fail("path contains \".\" or \"..\"");
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  FilePath path;
  if (!parts.empty()) {
    path.name = std::string(parts.back());
    parts.pop_back();
  }
  for (auto part : parts) {
    path.directory.push_back('/');
    path.directory.insert(path.directory.end(), part.begin(), part.end());
  }
  if (path.directory.empty()) path.directory.push_back('/');
  return path;
}

}  // namespace vela
