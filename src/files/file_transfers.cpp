#include "files/file_transfers.h"

#include "util/hex.h"
#include "util/log.h"

namespace vela {

using Kind = platform::FileTreeError::Kind;

std::string fileErrorCode(Kind kind) {
  switch (kind) {
    case Kind::notFound: return "not_found";
    case Kind::notDirectory: return "not_directory";
    case Kind::notRegular: return "not_regular";
    case Kind::link: return "link";
    case Kind::exists: return "exists";
    case Kind::noSpace: return "no_space";
    case Kind::denied: return "denied";
    case Kind::io: return "io";
  }
  return "io";
}

namespace {

OutgoingFileFrame::Error treeError(const platform::FileTreeError& e) {
  return {fileErrorCode(e.kind), e.message};
}

}  // namespace

FileTransfer::FileTransfer(std::string sessionID, FilePath path, Limits limits, Link link)
    : sessionID(std::move(sessionID)),
      path(std::move(path)),
      limits_(limits),
      link_(std::move(link)),
      queue_(std::make_shared<SerialQueue>("vela.files.io")) {}

void FileTransfer::stop() {
  MutexLock lock(lock_);
  stopped_ = true;
}

bool FileTransfer::stopped() const {
  MutexLock lock(lock_);
  return stopped_;
}

void FileTransfer::emit(Payload payload) {
  link_.send(OutgoingFileFrame{sessionID, std::move(payload)});
}

void FileTransfer::end(std::optional<Payload> last) {
  {
    MutexLock lock(lock_);
    if (stopped_) return;
    stopped_ = true;
  }
  std::optional<OutgoingFileFrame> frame;
  if (last) frame = OutgoingFileFrame{sessionID, std::move(*last)};
  link_.ended(this, std::move(frame));
}

// Download.

void FileDownload::start() {
  queue_->async([self = std::static_pointer_cast<FileDownload>(shared_from_this())] {
    if (self->stopped()) return;
    auto reader = platform::TreeFileReader::open(self->path.directory, self->path.name);
    if (!reader) return self->refuse(treeError(reader.error()));
    const auto& e = reader->entry();
    self->emit(OutgoingFileFrame::Meta{self->path.full(), e.size, e.mode, e.mtime, self->limits_.window});
    self->reader_.emplace(std::move(*reader));
    self->buffer_.resize(self->limits_.chunk);
    self->pump();
  });
}

void FileDownload::ack(std::uint64_t offset) {
  {
    MutexLock lock(lock_);
    if (stopped_ || offset <= acked_) return;
    acked_ = std::min(offset, sent_);
  }
  queue_->async([self = std::static_pointer_cast<FileDownload>(shared_from_this())] { self->pump(); });
}

void FileDownload::pump() {
  if (!reader_) return;
  for (;;) {
    std::uint64_t offset;
    {
      MutexLock lock(lock_);
      if (stopped_) return;
      // The rest is sent when the operator's acknowledgement makes room.
      if (sent_ - acked_ >= limits_.window) return;
      offset = sent_;
    }
    auto n = reader_->read(buffer_);
    if (!n) return refuse(treeError(n.error()));
    if (*n == 0) {
      std::string hash = Hex::encode(hasher_.finish());
      reader_.reset();
      Log::info("files: download " + path.full() + " (" + std::to_string(offset) +
                " bytes, sha256 " + hash + ") by session " + sessionID);
      return end(Payload(OutgoingFileFrame::Done{"download", path.full(), offset, hash}));
    }
    std::span<const std::uint8_t> bytes(buffer_.data(), *n);
    hasher_.update(bytes);
    {
      MutexLock lock(lock_);
      sent_ += *n;
    }
    emit(OutgoingFileFrame::Data{offset, Bytes(bytes.begin(), bytes.end())});
  }
}

// Upload.

FileUpload::FileUpload(std::string sessionID, FilePath path, Limits limits, Link link, Request request)
    : FileTransfer(std::move(sessionID), std::move(path), limits, std::move(link)),
      request_(std::move(request)) {}

void FileUpload::start() {
  queue_->async([self = std::static_pointer_cast<FileUpload>(shared_from_this())] {
    if (self->stopped()) return;
    const FilePath& p = self->path;
    auto existing = platform::statInTree(p.directory, p.name);
    if (!existing) return self->refuse(treeError(existing.error()));
    if (*existing) {
      if ((*existing)->type == "link") return self->refuse({"link", p.full() + " is a symbolic link"});
      if ((*existing)->type != "file") return self->refuse({"not_regular", p.full() + " is not a regular file"});
      if (!self->request_.overwrite) return self->refuse({"exists", p.full() + " exists"});
    }
    auto available = platform::availableBytes(p.directory);
    if (!available) return self->refuse(treeError(available.error()));
    if (*available < self->request_.size) {
      return self->refuse({"no_space", std::to_string(self->request_.size) + " bytes announced, " +
                                         std::to_string(*available) + " available in " + p.directory});
    }
    // What an agent killed mid-upload left here goes before anything new is written.
    if (auto removed = platform::removeAbandonedUploads(p.directory); removed && *removed > 0) {
      Log::info("files: removed " + std::to_string(*removed) + " abandoned upload file(s) in " + p.directory);
    }
    auto writer = platform::TreeFileWriter::create(p.directory, p.name);
    if (!writer) return self->refuse(treeError(writer.error()));
    self->writer_.emplace(std::move(*writer));
    {
      MutexLock lock(self->lock_);
      self->ready_ = true;
    }
    self->emit(OutgoingFileFrame::Ready{self->limits_.window, self->limits_.chunk});
    if (self->request_.size == 0) self->finish();
  });
}

void FileUpload::chunk(const IncomingFileFrame::Chunk& chunk) {
  std::optional<OutgoingFileFrame::Error> refused;
  {
    MutexLock lock(lock_);
    if (stopped_) return;
    if (!ready_) {
      refused = {"bad_request", "chunk before file.ready"};
    } else if (!chunk.data || !chunk.offset || chunk.data->empty()) {
      refused = {"bad_request", "chunk without offset or Base64 data"};
    } else if (*chunk.offset != received_) {
      refused = {"bad_offset", "chunk at " + std::to_string(*chunk.offset) + ", expected " +
                                   std::to_string(received_)};
    } else if (chunk.data->size() > request_.size - received_) {
      refused = {"past_end", "chunk ends past the announced size " + std::to_string(request_.size)};
    } else if (pending_ + chunk.data->size() > limits_.window) {
      refused = {"window_exceeded", "more than " + std::to_string(limits_.window) +
                                        " bytes sent ahead of file.ack"};
    } else {
      received_ += chunk.data->size();
      pending_ += chunk.data->size();
    }
  }
  if (refused) return refuse(std::move(*refused));
  queue_->async([self = std::static_pointer_cast<FileUpload>(shared_from_this()),
                 bytes = *chunk.data]() mutable { self->write(std::move(bytes)); });
}

void FileUpload::write(Bytes bytes) {
  if (stopped()) return;
  if (auto ok = writer_->write(bytes); !ok) {
    Log::warn("files: upload " + path.full() + " failed: " + ok.error().message);
    return refuse(treeError(ok.error()));
  }
  hasher_.update(bytes);
  written_ += bytes.size();
  {
    MutexLock lock(lock_);
    pending_ -= bytes.size();
  }
  emit(OutgoingFileFrame::Ack{written_});
  if (written_ == request_.size) finish();
}

void FileUpload::finish() {
  std::string hash = Hex::encode(hasher_.finish());
  if (hash != request_.sha256) {
    Log::warn("files: upload " + path.full() + " refused: sha256 " + hash + " does not match " +
              request_.sha256);
    writer_.reset();
    return refuse({"hash_mismatch", "sha256 of the received bytes is " + hash});
  }
  mode_t mode = request_.mode.value_or(0644);
  std::optional<platform::FileOwner> owner = request_.owner;
  if (request_.overwrite && (!request_.mode || (owner && !request_.ownerAsked))) {
    // A replaced file keeps what the operator did not ask to change.
    if (auto existing = platform::statInTree(path.directory, path.name); existing && *existing &&
                                                                         (*existing)->type == "file") {
      if (!request_.mode) mode = (*existing)->mode;
      if (owner && !request_.ownerAsked) owner = platform::FileOwner{(*existing)->uid, (*existing)->gid};
    }
  }
  if (auto ok = writer_->commit(mode, owner, request_.overwrite); !ok) {
    Log::warn("files: upload " + path.full() + " failed: " + ok.error().message);
    writer_.reset();
    return refuse(treeError(ok.error()));
  }
  writer_.reset();
  Log::info("files: upload " + path.full() + " (" + std::to_string(written_) + " bytes, sha256 " +
            hash + ", mode " + octalMode(mode) + ") by session " + sessionID);
  end(Payload(OutgoingFileFrame::Done{"upload", path.full(), written_, hash}));
}

}  // namespace vela
