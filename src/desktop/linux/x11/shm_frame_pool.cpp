#include "desktop/linux/x11/shm_frame_pool.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "desktop/linux/x11/x11_connection.h"

namespace vela::x11 {

Result<std::shared_ptr<ShmImage>> ShmImage::create(Display* display, int width, int height) {
  std::shared_ptr<ShmImage> shm(new ShmImage);
  Screen* screen = DefaultScreenOfDisplay(display);
  shm->image_ = XShmCreateImage(display, DefaultVisualOfScreen(screen), DefaultDepthOfScreen(screen), ZPixmap,
                                nullptr, &shm->segment_, width, height);
  if (!shm->image_) return fail("XShmCreateImage failed");
  if (shm->image_->bits_per_pixel != 32)
    return fail("unsupported pixel format (" + std::to_string(shm->image_->bits_per_pixel) + " bits per pixel)");
  std::size_t size = static_cast<std::size_t>(shm->image_->bytes_per_line) * height;
  shm->segment_.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shm->segment_.shmid < 0) return fail(std::string("shmget: ") + std::strerror(errno));
  void* address = shmat(shm->segment_.shmid, nullptr, 0);
  // Marked for removal at once: the segment vanishes with the last attachment, even
  // if this process dies.
  shmctl(shm->segment_.shmid, IPC_RMID, nullptr);
  if (address == reinterpret_cast<void*>(-1)) return fail(std::string("shmat: ") + std::strerror(errno));
  shm->segment_.shmaddr = shm->image_->data = static_cast<char*>(address);
  shm->segment_.readOnly = False;
  resetLastErrorOnThisThread();
  if (!XShmAttach(display, &shm->segment_)) return fail("XShmAttach failed");
  XSync(display, False);
  if (int code = lastErrorOnThisThread())
    return fail("the X server cannot attach shared memory (error " + std::to_string(code) + ")");
  return shm;
}

ShmImage::~ShmImage() {
  if (segment_.shmaddr) shmdt(segment_.shmaddr);
  if (image_) {
    image_->data = nullptr;  // the pixels were the segment, not heap memory
    XDestroyImage(image_);
  }
}

Result<std::shared_ptr<ShmImage>> ShmFramePool::acquire() {
  for (auto& image : images_) {
    if (image.use_count() == 1) {
      // The last consumer's release happens-before our next write into the pixels.
      std::atomic_thread_fence(std::memory_order_acquire);
      return image;
    }
  }
  if (images_.size() >= limit_) return std::shared_ptr<ShmImage>();
  auto image = VELA_TRY(ShmImage::create(display_, width_, height_));
  images_.push_back(image);
  return image;
}

}  // namespace vela::x11
