#pragma once

// One download or upload of a file on behalf of an operator. Each transfer does its
// file work on its own serial queue ("vela.files.io") and keeps the bytes in flight
// within a window: a download sends ahead at most `window` bytes that the operator has
// not acknowledged, and an upload refuses a chunk that would put more than `window`
// bytes between the operator and the disk. Chunks and acknowledgements arrive on the
// gateway's thread; counters are guarded by the transfer's own lock, which is never
// held while sending. The transfer reports back through a Link that holds its manager
// weakly.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "files/file_frames.h"
#include "files/file_path.h"
#include "platform/file_tree.h"
#include "util/agent_crypto.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class FileTransfer : public std::enable_shared_from_this<FileTransfer> {
 public:
  struct Limits {
    std::uint64_t window = std::uint64_t{2} << 20;
    std::size_t chunk = std::size_t{256} << 10;  // Base64 of it stays far below a 1 MiB frame
  };
  struct Link {
    std::function<void(OutgoingFileFrame)> send;
    // The transfer is over; `last` is sent once it has left its manager's table, so the
    // operator may reuse the session id as soon as it sees that frame.
    std::function<void(const FileTransfer*, std::optional<OutgoingFileFrame> last)> ended;
  };

  FileTransfer(std::string sessionID, FilePath path, Limits limits, Link link);
  virtual ~FileTransfer() = default;
  FileTransfer(const FileTransfer&) = delete;
  FileTransfer& operator=(const FileTransfer&) = delete;

  virtual void start() = 0;
  virtual void chunk(const IncomingFileFrame::Chunk&) {}
  virtual void ack(std::uint64_t) {}
  // No more work; an upload's temporary file goes with the transfer.
  void stop();

  const std::string sessionID;
  const FilePath path;

 protected:
  using Payload = decltype(OutgoingFileFrame::payload);
  void refuse(OutgoingFileFrame::Error error) { end(Payload(std::move(error))); }
  void emit(Payload payload);
  // Once only: stops the transfer and tells the manager.
  void end(std::optional<Payload> last);
  bool stopped() const;

  const Limits limits_;
  const Link link_;
  const std::shared_ptr<SerialQueue> queue_;
  mutable Mutex lock_;
  bool stopped_ GUARDED_BY(lock_) = false;
};

// Sends the file from its start, then "file.done" with its SHA-256.
class FileDownload final : public FileTransfer {
 public:
  using FileTransfer::FileTransfer;
  void start() override;
  void ack(std::uint64_t offset) override;

 private:
  void pump();  // on queue_
  std::optional<platform::TreeFileReader> reader_;  // on queue_
  AgentCrypto::Sha256Hasher hasher_;                // on queue_
  Bytes buffer_;                                    // on queue_
  std::uint64_t sent_ GUARDED_BY(lock_) = 0;
  std::uint64_t acked_ GUARDED_BY(lock_) = 0;
};

// Receives the announced bytes in order into a temporary file beside the target and
// renames it into place once their SHA-256 matches the announced one.
class FileUpload final : public FileTransfer {
 public:
  struct Request {
    std::uint64_t size = 0;
    std::string sha256;
    // Absent: a replaced file's mode, else 0644.
    std::optional<mode_t> mode;
    // The owner to set, absent to leave the agent's own user.
    std::optional<platform::FileOwner> owner;
    // False when `owner` is only the default: a replaced file's owner then wins.
    bool ownerAsked = false;
    bool overwrite = false;
  };
  FileUpload(std::string sessionID, FilePath path, Limits limits, Link link, Request request);
  void start() override;
  void chunk(const IncomingFileFrame::Chunk& chunk) override;

 private:
  void write(Bytes bytes);  // on queue_
  void finish();            // on queue_
  const Request request_;
  std::optional<platform::TreeFileWriter> writer_;  // on queue_
  AgentCrypto::Sha256Hasher hasher_;                // on queue_
  std::uint64_t written_ = 0;                       // on queue_
  bool ready_ GUARDED_BY(lock_) = false;
  std::uint64_t received_ GUARDED_BY(lock_) = 0;
  std::uint64_t pending_ GUARDED_BY(lock_) = 0;
};

// The error frame's code for a file-system failure.
std::string fileErrorCode(platform::FileTreeError::Kind kind);

}  // namespace vela
