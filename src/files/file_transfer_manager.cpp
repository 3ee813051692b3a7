#include "files/file_transfer_manager.h"

#include <algorithm>
#include <vector>

#include "platform/file_io.h"
#include "util/log.h"

namespace vela {

namespace {

bool isSha256Hex(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

}  // namespace

std::shared_ptr<FileTransferManager> FileTransferManager::create(Send send, Options options) {
  return std::shared_ptr<FileTransferManager>(new FileTransferManager(std::move(send), options));
}

FileTransferManager::FileTransferManager(Send send, Options options)
    : send_(std::move(send)),
      options_(options),
      listQueue_(std::make_shared<SerialQueue>("vela.files.list")),
      allowed_(options.allowed) {}

FileTransferManager::~FileTransferManager() { killAll(); }

void FileTransferManager::setAllowed(bool allowed) {
  MutexLock lock(lock_);
  allowed_ = allowed;
}

int FileTransferManager::activeCount() const {
  MutexLock lock(lock_);
  return static_cast<int>(transfers_.size());
}

void FileTransferManager::refuse(const std::string& id, std::string code, std::string message) const {
  send_(OutgoingFileFrame{id, OutgoingFileFrame::Error{std::move(code), std::move(message)}});
}

void FileTransferManager::refuseOversize(const std::string& id, std::size_t bytes, std::size_t limit) {
  OutgoingFileFrame::Error error{"too_large", "frame of " + std::to_string(bytes) + " bytes is over the " +
                                                  std::to_string(limit) + "-byte frame limit; dropped unread"};
  if (auto transfer = find(id)) return ended(transfer.get(), OutgoingFileFrame{id, std::move(error)});
  Log::warn("files: session " + id + ": " + error.code + ": " + error.message);
  send_(OutgoingFileFrame{id, std::move(error)});
}

void FileTransferManager::handle(const IncomingFileFrame& frame) {
  const std::string& id = frame.sessionID;
  bool allowed;
  {
    MutexLock lock(lock_);
    allowed = allowed_;
  }
  std::visit(
      [&](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, IncomingFileFrame::Chunk>) {
          if (auto t = find(id)) t->chunk(p);
        } else if constexpr (std::is_same_v<T, IncomingFileFrame::Ack>) {
          if (auto t = find(id)) t->ack(p.offset);
        } else if constexpr (std::is_same_v<T, IncomingFileFrame::Cancel>) {
          if (auto t = find(id)) ended(t.get(), std::nullopt);
        } else {
          if (!allowed) {
            return refuse(id, "disabled", "file transfer is disabled by local policy (allowFileTransfer)");
          }
          auto path = FilePath::parse(p.path);
          if (!path) return refuse(id, "bad_path", path.error().message);
          if constexpr (std::is_same_v<T, IncomingFileFrame::List>) {
            list(id, path->full());
          } else if constexpr (std::is_same_v<T, IncomingFileFrame::Download>) {
            if (path->name.empty()) return refuse(id, "not_regular", "/ is a directory");
            begin(id, std::make_shared<FileDownload>(id, *path, options_.limits, link()));
          } else {
            if (path->name.empty()) return refuse(id, "bad_path", "no file name");
            if (auto upload = makeUpload(id, *path, p)) begin(id, upload);
          }
        }
      },
      frame.payload);
}

std::shared_ptr<FileTransfer> FileTransferManager::makeUpload(const std::string& id, FilePath path,
                                                              const IncomingFileFrame::Upload& upload) {
  if (!upload.size) return refuse(id, "bad_request", "size missing or not a byte count"), nullptr;
  if (!isSha256Hex(upload.sha256)) {
    return refuse(id, "bad_request", "sha256 must be 64 lower-case hex digits"), nullptr;
  }
  if (upload.modeInvalid) return refuse(id, "bad_request", "mode must be octal text such as \"0644\""), nullptr;
  FileUpload::Request request;
  request.size = *upload.size;
  request.sha256 = upload.sha256;
  request.mode = upload.mode;
  request.overwrite = upload.overwrite;
  request.ownerAsked = upload.owner.has_value();
  if (upload.owner) {
    request.owner = platform::lookupOwner(*upload.owner);
    if (!request.owner) return refuse(id, "bad_owner", "no such user or group: " + *upload.owner), nullptr;
  } else if (platform::effectiveUser() == 0) {
    // A user's own directory gets their file; anywhere else the file is root's.
    auto owner = platform::directoryOwner(path.directory);
    request.owner = owner && owner->uid != 0 ? *owner : platform::FileOwner{0, 0};
  }
  return std::make_shared<FileUpload>(id, std::move(path), options_.limits, link(), std::move(request));
}

void FileTransferManager::begin(const std::string& id, const std::shared_ptr<FileTransfer>& transfer) {
  std::string refusal;
  {
    MutexLock lock(lock_);
    if (transfers_.contains(id)) {
      refusal = "busy";
    } else if (static_cast<int>(transfers_.size()) >= options_.maxTransfers) {
      refusal = "too_many_transfers";
    } else {
      transfers_[id] = transfer;
    }
  }
  if (refusal == "busy") return refuse(id, refusal, "a transfer with this session id is running");
  if (!refusal.empty()) {
    return refuse(id, refusal, "agent transfer cap (" + std::to_string(options_.maxTransfers) + ") reached");
  }
  transfer->start();
}

FileTransfer::Link FileTransferManager::link() {
  std::weak_ptr<FileTransferManager> weak = weak_from_this();
  return FileTransfer::Link{
      [weak](OutgoingFileFrame frame) {
        if (auto self = weak.lock()) self->send_(frame);
      },
      [weak](const FileTransfer* transfer, std::optional<OutgoingFileFrame> last) {
        if (auto self = weak.lock()) self->ended(transfer, std::move(last));
      }};
}

void FileTransferManager::ended(const FileTransfer* transfer, std::optional<OutgoingFileFrame> last) {
  std::shared_ptr<FileTransfer> removed;
  {
    MutexLock lock(lock_);
    auto it = transfers_.find(transfer->sessionID);
    if (it != transfers_.end() && it->second.get() == transfer) {
      removed = std::move(it->second);
      transfers_.erase(it);
    }
  }
  if (removed) removed->stop();
  if (last) {
    if (const auto* error = std::get_if<OutgoingFileFrame::Error>(&last->payload)) {
      Log::warn("files: " + transfer->path.full() + " for session " + transfer->sessionID + ": " +
                error->code + ": " + error->message);
    }
    send_(*last);
  }
}

std::shared_ptr<FileTransfer> FileTransferManager::find(const std::string& id) const {
  MutexLock lock(lock_);
  auto it = transfers_.find(id);
  return it == transfers_.end() ? nullptr : it->second;
}

void FileTransferManager::killAll() {
  std::map<std::string, std::shared_ptr<FileTransfer>> all;
  {
    MutexLock lock(lock_);
    all.swap(transfers_);
  }
  for (auto& [id, transfer] : all) transfer->stop();
}

void FileTransferManager::list(const std::string& id, const std::string& path) {
  std::weak_ptr<FileTransferManager> weak = weak_from_this();
  listQueue_->async([weak, id, path] {
    auto self = weak.lock();
    if (!self) return;
    bool truncated = false;
    auto entries = platform::listTree(path, self->options_.listLimit, truncated);
    if (!entries) return self->refuse(id, fileErrorCode(entries.error().kind), entries.error().message);
    self->send_(OutgoingFileFrame{id, OutgoingFileFrame::Listing{path, std::move(*entries), truncated}});
  });
}

}  // namespace vela
