#pragma once

// Shared-memory images the X server writes captured pixels into. A frame handed to a
// consumer keeps its image alive (and out of the pool) until the last copy is gone, so
// the pixels are never overwritten under a reader; the pool grows up to its limit and a
// capture finding every image taken drops that frame. Used by the capture thread only;
// frames may be released on any thread.

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <memory>
#include <vector>

#include "util/agent_error.h"

namespace vela::x11 {

class ShmImage {
 public:
  static Result<std::shared_ptr<ShmImage>> create(Display* display, int width, int height);
  ~ShmImage();  // needs no X call: the server drops its side when the connection closes
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  XImage* image() const { return image_; }
  std::uint8_t* pixels() const { return reinterpret_cast<std::uint8_t*>(image_->data); }
  int stride() const { return image_->bytes_per_line; }

 private:
  ShmImage() = default;
  XImage* image_ = nullptr;
  XShmSegmentInfo segment_{};
};

class ShmFramePool {
 public:
  ShmFramePool(Display* display, int width, int height, std::size_t limit)
      : display_(display), width_(width), height_(height), limit_(limit) {}

  // An image no frame refers to, or nothing when all `limit` images are in use.
  Result<std::shared_ptr<ShmImage>> acquire();

 private:
  Display* const display_;
  const int width_;
  const int height_;
  const std::size_t limit_;
  std::vector<std::shared_ptr<ShmImage>> images_;
};

}  // namespace vela::x11
