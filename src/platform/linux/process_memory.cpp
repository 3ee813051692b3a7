#include "platform/process_memory.h"

#include <malloc.h>

namespace vela::platform {

void tuneHeap() {
  // A desktop session allocates encoder and frame blocks of megabytes on threads that
  // come and go. A fixed mapping threshold returns such blocks on free (the adaptive one
  // moves them into the heap, where they fragment), and two arenas keep short-lived
  // threads from each leaving an arena of free memory behind.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  mallopt(M_ARENA_MAX, 2);
}

}  // namespace vela::platform
