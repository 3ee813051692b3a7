// Stands in for a newer build of the agent in update tests: a native executable whose
// "version" command prints the version it was compiled with.

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "version") == 0) {
    std::puts(FAKE_BUILD_VERSION);
    return 0;
  }
  return 3;
}
