#include "desktop/linux/recording/desktop_recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "util/agent_crypto.h"
#include "util/log.h"
#include "util/uuid.h"

namespace vela {

namespace {

std::filesystem::path temporaryDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  return (tmp && *tmp) ? std::filesystem::path(tmp) : std::filesystem::path("/tmp");
}

}  // namespace

std::shared_ptr<DesktopRecorder> DesktopRecorder::create(std::optional<std::filesystem::path> directory,
                                                         SinkFactory sinkFactory) {
  auto dir = directory ? *directory : temporaryDirectory();
  return std::shared_ptr<DesktopRecorder>(
      new DesktopRecorder(dir / ("vela-desktop-" + randomUUID() + ".mp4"), std::move(sinkFactory)));
}

DesktopRecorder::DesktopRecorder(std::filesystem::path url, SinkFactory sinkFactory)
    : url_(std::move(url)),
      sinkFactory_(std::move(sinkFactory)),
      timerQueue_(std::make_shared<SerialQueue>("vela.recorder.durable")) {}

DesktopRecorder::~DesktopRecorder() {
  // The last reference may go inside the durability check, on the queue's own thread.
  timerQueue_.reset();
}

void DesktopRecorder::setOnFirstChunkDurable(std::function<void()> callback) {
  onFirstChunkDurable_ = std::move(callback);
}

Result<void> DesktopRecorder::start(int width, int height) {
  std::error_code ignored;
  std::filesystem::remove(url_, ignored);
  // Owner-only before the sink writes a byte, since /tmp is shared with every local
  // account; the sink truncates the file and keeps its mode.
  int fd = ::open(url_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail("recorder: startWriting failed (" + std::string(std::strerror(errno)) + ")");
  ::close(fd);
  auto writer = sinkFactory_(url_.string(), width, height);
  if (!writer) {
    // A sink that got as far as creating the file must not leave it behind.
    std::filesystem::remove(url_, ignored);
    return tl::unexpected(writer.error());
  }
  std::weak_ptr<DesktopRecorder> weak = weak_from_this();
  {
    MutexLock lock(mu_);
    writer_ = std::move(*writer);
    durableTimer_ = timerQueue_->every(std::chrono::milliseconds(250), [weak] {
      if (auto self = weak.lock()) self->checkDurable();
    });
  }
  return {};
}

void DesktopRecorder::checkDurable() {
  {
    MutexLock lock(mu_);
    if (durableFired_) return;
  }
  if (bytesWritten() <= kDurableBytes) return;
  {
    MutexLock lock(mu_);
    if (durableFired_) return;
    durableFired_ = true;
  }
  cancelDurableTimer();
  if (onFirstChunkDurable_) onFirstChunkDurable_();
}

void DesktopRecorder::cancelDurableTimer() {
  std::optional<SerialQueue::TimerID> timer;
  {
    MutexLock lock(mu_);
    timer = std::exchange(durableTimer_, std::nullopt);
  }
  if (timer) timerQueue_->cancel(*timer);
}

std::int64_t DesktopRecorder::bytesWritten() const {
  struct stat st {};
  if (::stat(url_.c_str(), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

void DesktopRecorder::finalize(Completion completion) {
  cancelDurableTimer();
  std::shared_ptr<RecordingSink> writer;
  {
    MutexLock lock(mu_);
    writer = std::move(writer_);
  }
  if (!writer) {
    completion(std::nullopt);
    return;
  }
  std::weak_ptr<DesktopRecorder> weak = weak_from_this();
  auto path = url_;
  // The completion holds the writer until the drain has ended and it has read the
  // duration of what the file took.
  writer->finish(
      [weak, path, writer, completion = std::move(completion)](RecordingSink::Status status) {
        auto self = weak.lock();
        if (!self || status != RecordingSink::Status::completed) {
          if (self) Log::warn("recorder: recording did not complete; no final record");
          completion(std::nullopt);
          return;
        }
        auto sha = AgentCrypto::sha256HexOfFile(path);
        std::error_code error;
        auto size = std::filesystem::file_size(path, error);
        if (!sha || error) {
          completion(std::nullopt);
          return;
        }
        completion(DesktopRecordingFinal{*sha, static_cast<std::int64_t>(size), writer->durationS(),
                                         "file://" + path.string(), "fmp4"});
      });
}

}  // namespace vela
