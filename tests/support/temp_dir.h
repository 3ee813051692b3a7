#pragma once

// A temporary directory removed with its contents on destruction, and a scoped
// environment variable that restores the previous value.

#include <optional>
#include <string>

namespace vela::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// Sets VELA_STATE_DIR to a fresh temporary directory for the scope.
class ScopedStateDir : public TempDir {
  ScopedEnv env_{"VELA_STATE_DIR", path()};
};

std::string readFileOrEmpty(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

}  // namespace vela::testing
