#pragma once

// The C heap of a long-running agent that serves sessions one after another.

namespace vela::platform {

// Once at process start, before other threads exist.
void tuneHeap();

}  // namespace vela::platform
