#pragma once

// Serves the operator's file frames: directory listings, downloads and uploads, each
// under its own session id, up to a cap of concurrent transfers on one connection.
// Every frame is refused with "disabled" while local policy (allowFileTransfer) forbids
// transfers. Thread-safe: handle() and killAll() may be called from any thread; `send`
// is called from the transfers' queues and never while the table's lock is held.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "files/file_frames.h"
#include "files/file_transfers.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class FileTransferManager : public std::enable_shared_from_this<FileTransferManager> {
 public:
  using Send = std::function<void(const OutgoingFileFrame&)>;

  struct Options {
    bool allowed = true;
    int maxTransfers = 4;
    std::size_t listLimit = 2000;  // entries of one listing; a listing frame stays well below 1 MiB
    FileTransfer::Limits limits;
  };

  static std::shared_ptr<FileTransferManager> create(Send send, Options options);
  ~FileTransferManager();
  FileTransferManager(const FileTransferManager&) = delete;
  FileTransferManager& operator=(const FileTransferManager&) = delete;

  void handle(const IncomingFileFrame& frame);
  // A frame of `bytes` for session `id` was too large to read: its transfer, if any, ends
  // with "too_large" (a chunk is lost), else the operator hears "too_large" alone.
  void refuseOversize(const std::string& id, std::size_t bytes, std::size_t limit);
  // Ends every transfer without a frame (the connection is gone); uploads leave nothing.
  void killAll();
  void setAllowed(bool allowed);
  int activeCount() const;

 private:
  FileTransferManager(Send send, Options options);
  void list(const std::string& id, const std::string& path);
  void begin(const std::string& id, const std::shared_ptr<FileTransfer>& transfer);
  void ended(const FileTransfer* transfer, std::optional<OutgoingFileFrame> last);
  std::shared_ptr<FileTransfer> find(const std::string& id) const;
  std::shared_ptr<FileTransfer> makeUpload(const std::string& id, FilePath path,
                                           const IncomingFileFrame::Upload& upload);
  FileTransfer::Link link();
  void refuse(const std::string& id, std::string code, std::string message) const;

  const Send send_;
  const Options options_;
  const std::shared_ptr<SerialQueue> listQueue_;
  mutable Mutex lock_;
  bool allowed_ GUARDED_BY(lock_);
  std::map<std::string, std::shared_ptr<FileTransfer>> transfers_ GUARDED_BY(lock_);
};

}  // namespace vela
