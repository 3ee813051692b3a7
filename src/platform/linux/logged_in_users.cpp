#include "platform/logged_in_users.h"

#include <pwd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>

namespace vela::platform {

std::vector<std::string> loggedInUsers() {
  uid_t* uids = nullptr;
  int count = sd_get_uids(&uids);
  std::vector<std::string> names;
  if (count <= 0) {
    std::free(uids);
    return names;
  }
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  for (int i = 0; i < count; ++i) {
    struct passwd entry;
    struct passwd* found = nullptr;
    if (::getpwuid_r(uids[i], &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name) {
      names.emplace_back(found->pw_name);
    }
  }
  std::free(uids);
  return names;
}

}  // namespace vela::platform
