#include "files/file_transfer_manager.h"

#include <gmock/gmock.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "support/temp_dir.h"
#include "util/agent_crypto.h"
#include "util/base64.h"
#include "util/canonical_json.h"

namespace vela {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Out = OutgoingFileFrame;

Bytes randomBytes(std::size_t n, unsigned seed = 7) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(random());
  return b;
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

Bytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every frame the manager sends, per session, waited for without a deadline.
class Frames {
 public:
  FileTransferManager::Send sink() {
    return [this](const Out& frame) {
      std::lock_guard lock(mu_);
      frames_[frame.sessionID].push_back(frame);
      cv_.notify_all();
    };
  }
  Out next(const std::string& id) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return !frames_[id].empty(); });
    Out f = frames_[id].front();
    frames_[id].pop_front();
    return f;
  }
  template <typename T>
  T nextOf(const std::string& id) {
    for (;;) {
      Out f = next(id);
      if (auto* p = std::get_if<T>(&f.payload)) return *p;
      if (auto* e = std::get_if<Out::Error>(&f.payload)) ADD_FAILURE() << e->code << ": " << e->message;
    }
  }
  std::size_t pending(const std::string& id) {
    std::lock_guard lock(mu_);
    return frames_[id].size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, std::deque<Out>> frames_;
};

IncomingFileFrame frame(const std::string& id, JSONValue::Object members) {
  JSONValue v(std::move(members));
  v.set("session_id", id);
  return *IncomingFileFrame::parse(CanonicalJSON::encode(v));
}

class FileTransferTest : public ::testing::Test {
 protected:
  std::shared_ptr<FileTransferManager> make(FileTransferManager::Options options = {}) {
    options.limits.chunk = 64 * 1024;
    options.limits.window = 256 * 1024;
    return FileTransferManager::create(frames_.sink(), options);
  }
  std::string error(const std::string& id) {
    Out f = frames_.next(id);
    auto* e = std::get_if<Out::Error>(&f.payload);
    return e ? e->code : "not an error";
  }
  IncomingFileFrame upload(const std::string& id, const std::string& path, const Bytes& bytes,
                           JSONValue::Object extra = {}) {
    extra.emplace("type", "file.upload");
    extra.emplace("path", path);
    extra.emplace("size", bytes.size());
    extra.emplace("sha256", AgentCrypto::sha256Hex(bytes));
    return frame(id, std::move(extra));
  }
  IncomingFileFrame chunk(const std::string& id, std::uint64_t offset, std::span<const std::uint8_t> b) {
    return frame(id, {{"type", "file.chunk"}, {"offset", offset}, {"data", Base64::encode(b)}});
  }
  // Sends the bytes as the operator would, within the window, and returns the last frame.
  Out send(FileTransferManager& m, const std::string& id, const Bytes& bytes) {
    auto ready = frames_.nextOf<Out::Ready>(id);
    std::uint64_t offset = 0, acked = 0;
    while (offset < bytes.size()) {
      std::size_t n = std::min<std::size_t>(ready.chunk, bytes.size() - offset);
      while (offset + n - acked > ready.window) acked = frames_.nextOf<Out::Ack>(id).offset;
      m.handle(chunk(id, offset, std::span(bytes).subspan(offset, n)));
      offset += n;
    }
    for (;;) {
      Out f = frames_.next(id);
      if (!std::holds_alternative<Out::Ack>(f.payload)) return f;
    }
  }
  // Downloads with acknowledgements; the bytes, and the hash the agent announced.
  std::pair<Bytes, std::string> receive(FileTransferManager& m, const std::string& id,
                                        std::uint64_t start = 0) {
    Bytes got(start);
    for (;;) {
      Out f = frames_.next(id);
      if (auto* d = std::get_if<Out::Data>(&f.payload)) {
        EXPECT_EQ(d->offset, got.size());
        got.insert(got.end(), d->data.begin(), d->data.end());
        m.handle(frame(id, {{"type", "file.ack"}, {"offset", got.size()}}));
      } else if (auto* done = std::get_if<Out::Done>(&f.payload)) {
        EXPECT_EQ(done->size, got.size());
        return {Bytes(got.begin() + static_cast<std::ptrdiff_t>(start), got.end()), done->sha256};
      } else if (auto* e = std::get_if<Out::Error>(&f.payload)) {
        ADD_FAILURE() << e->code;
        return {};
      }
    }
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (const auto& e : fs::directory_iterator(dir_.path())) n.push_back(e.path().filename());
    std::sort(n.begin(), n.end());
    return n;
  }

  Frames frames_;
  testing::TempDir dir_;
};

TEST(FileFramesTest, ParsesOperatorFramesAndWritesCanonicalReplies) {
  auto up = IncomingFileFrame::parse(
      R"({"type":"file.upload","session_id":"u","path":"/x","size":5,"sha256":"ab","mode":"0640","overwrite":true})");
  ASSERT_TRUE(up);
  auto& u = std::get<IncomingFileFrame::Upload>(up->payload);
  EXPECT_EQ(*u.size, 5u);
  EXPECT_EQ(*u.mode, 0640u);
  EXPECT_TRUE(u.overwrite);
  auto badMode = IncomingFileFrame::parse(R"({"type":"file.upload","session_id":"u","mode":"0999","size":-1})");
  EXPECT_TRUE(std::get<IncomingFileFrame::Upload>(badMode->payload).modeInvalid);
  EXPECT_FALSE(std::get<IncomingFileFrame::Upload>(badMode->payload).size);
  auto c = IncomingFileFrame::parse(R"({"type":"file.chunk","session_id":"u","offset":0,"data":"%%"})");
  EXPECT_FALSE(std::get<IncomingFileFrame::Chunk>(c->payload).data);
  EXPECT_FALSE(IncomingFileFrame::parse(R"({"type":"file.delete","session_id":"u"})"));
  EXPECT_FALSE(IncomingFileFrame::parse(R"({"type":"shell.open","session_id":"u"})"));
  EXPECT_EQ((Out{"s", Out::Data{3, toBytes("hi")}}.json()),
            R"({"data":"aGk=","offset":3,"session_id":"s","type":"file.data","v":1})");
}

TEST(FilePathTest, RefusesRelativeDotDotAndControlCharacters) {
  EXPECT_EQ(FilePath::parse("/a//b/c.txt")->full(), "/a/b/c.txt");
  EXPECT_EQ(FilePath::parse("/")->full(), "/");
  EXPECT_EQ(FilePath::parse("/top")->directory, "/");
  for (const char* bad : {"", "a/b", "/a/../etc/shadow", "/a/./b", "/tmp/..", "/tmp/a\nb", "/tmp/\x1b[2J"}) {
    EXPECT_FALSE(FilePath::parse(bad)) << bad;
  }
}

TEST_F(FileTransferTest, ListsEntriesWithoutFollowingLinksAndRefusesBadDirectories) {
  auto m = make();
  writeFile(dir_.file("a.txt"), toBytes("hello"));
  ::chmod(dir_.file("a.txt").c_str(), 0640);
  fs::create_directory(dir_.file("sub"));
  fs::create_symlink("/etc", dir_.file("out"));
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0600), 0);
  m->handle(frame("l", {{"type", "file.list"}, {"path", dir_.path()}}));
  auto listing = frames_.nextOf<Out::Listing>("l");
  ASSERT_EQ(listing.entries.size(), 4u);
  EXPECT_EQ(listing.entries[0].name, "a.txt");
  EXPECT_EQ(listing.entries[0].size, 5u);
  EXPECT_EQ(listing.entries[0].mode, 0640u);
  EXPECT_EQ(listing.entries[1].type, "link");
  EXPECT_EQ(listing.entries[2].type, "fifo");
  EXPECT_EQ(listing.entries[3].type, "dir");
  EXPECT_THAT((Out{"l", listing}.json()), HasSubstr(R"("mode":"0640","mtime":")"));

  m->handle(frame("b", {{"type", "file.list"}, {"path", dir_.path() + "/../.."}}));
  EXPECT_EQ(error("b"), "bad_path");
  m->handle(frame("f", {{"type", "file.list"}, {"path", dir_.file("a.txt")}}));
  EXPECT_EQ(error("f"), "not_directory");
  m->handle(frame("n", {{"type", "file.list"}, {"path", dir_.file("none")}}));
  EXPECT_EQ(error("n"), "not_found");
}

TEST_F(FileTransferTest, DownloadSendsAheadOnlyAWindowAndEndsWithTheFilesHash) {
  auto m = make();
  Bytes content = randomBytes(1'000'000);
  writeFile(dir_.file("big.bin"), content);
  m->handle(frame("d", {{"type", "file.download"}, {"path", dir_.file("big.bin")}}));
  auto meta = frames_.nextOf<Out::Meta>("d");
  EXPECT_EQ(meta.size, content.size());
  // A paused operator: exactly one window arrives, then nothing until acknowledged.
  std::uint64_t unacked = 0;
  while (unacked < meta.window) unacked += frames_.nextOf<Out::Data>("d").data.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(unacked, meta.window);
  EXPECT_EQ(frames_.pending("d"), 0u);
  m->handle(frame("d", {{"type", "file.ack"}, {"offset", unacked}}));
  auto [rest, hash] = receive(*m, "d", unacked);
  EXPECT_EQ(unacked + rest.size(), content.size());
  EXPECT_EQ(hash, AgentCrypto::sha256Hex(content));
  EXPECT_EQ(m->activeCount(), 0);
}

TEST_F(FileTransferTest, DownloadRefusesLinksDevicesFifosAndDirectories) {
  auto m = make();
  fs::create_symlink("/etc/passwd", dir_.file("passwd"));
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir_.file("passwd"), "link"}, {dir_.file("pipe"), "not_regular"}, {"/dev/zero", "not_regular"},
      {dir_.path(), "not_regular"},  {dir_.file("none"), "not_found"},    {"/etc/../etc/passwd", "bad_path"}};
  for (const auto& [path, code] : cases) {
    m->handle(frame("r", {{"type", "file.download"}, {"path", path}}));
    EXPECT_EQ(error("r"), code) << path;
  }
  EXPECT_EQ(m->activeCount(), 0);
}

TEST_F(FileTransferTest, UploadLandsWithItsModeOnlyWhenCompleteAndReplacesOnlyWhenAsked) {
  auto m = make();
  Bytes content = randomBytes(300'000);
  const std::string target = dir_.file("up.bin");
  m->handle(upload("u", target, content, {{"mode", "0600"}}));
  auto ready = frames_.nextOf<Out::Ready>("u");
  m->handle(chunk("u", 0, std::span(content).first(ready.chunk)));
  EXPECT_EQ(frames_.nextOf<Out::Ack>("u").offset, ready.chunk);
  EXPECT_FALSE(fs::exists(target));  // only the hidden temporary file so far
  EXPECT_EQ(names().size(), 1u);
  EXPECT_EQ(names()[0].rfind(".vela-upload-", 0), 0u);
  std::uint64_t offset = ready.chunk;
  while (offset < content.size()) {
    std::size_t n = std::min<std::size_t>(ready.chunk, content.size() - offset);
    m->handle(chunk("u", offset, std::span(content).subspan(offset, n)));
    offset += n;
  }
  auto done = frames_.nextOf<Out::Done>("u");
  EXPECT_EQ(done.sha256, AgentCrypto::sha256Hex(content));
  EXPECT_EQ(readAll(target), content);
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(names(), std::vector<std::string>{"up.bin"});

  Bytes second = randomBytes(1000, 9);
  m->handle(upload("u", target, second));
  EXPECT_EQ(error("u"), "exists");
  m->handle(upload("u", target, second, {{"overwrite", true}}));
  EXPECT_EQ(std::get<Out::Done>(send(*m, "u", second).payload).size, 1000u);
  EXPECT_EQ(readAll(target), second);
  // Replaced without a mode asked for, the file keeps the one it had; asked, it changes.
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0600));
  m->handle(upload("u", target, content, {{"overwrite", true}, {"mode", "0640"}}));
  send(*m, "u", content);
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));

  fs::create_symlink("/etc/hostname", dir_.file("link"));
  m->handle(upload("u", dir_.file("link"), second, {{"overwrite", true}}));
  EXPECT_EQ(error("u"), "link");
}

TEST_F(FileTransferTest, AsRootAFileInAUsersDirectoryIsTheirsElsewhereRootsUnlessAsked) {
  if (::geteuid() != 0) GTEST_SKIP() << "ownership is set only by root";
  auto m = make();
  const std::string home = dir_.file("home");
  fs::create_directory(home);
  ASSERT_EQ(::chown(home.c_str(), 1234, 2345), 0);
  Bytes content = randomBytes(10);
  auto owner = [](const std::string& path) {
    struct stat st;
    ::stat(path.c_str(), &st);
    return std::pair(st.st_uid, st.st_gid);
  };
  m->handle(upload("o", home + "/mine", content));
  send(*m, "o", content);
  EXPECT_EQ(owner(home + "/mine"), std::pair(1234u, 2345u));
  m->handle(upload("o", dir_.file("roots"), content));
  send(*m, "o", content);
  EXPECT_EQ(owner(dir_.file("roots")), std::pair(0u, 0u));
  m->handle(upload("o", dir_.file("asked"), content, {{"owner", "77:88"}}));
  send(*m, "o", content);
  EXPECT_EQ(owner(dir_.file("asked")), std::pair(77u, 88u));
  // Replacing keeps the old file's owner unless another is asked for.
  m->handle(upload("o", dir_.file("asked"), content, {{"overwrite", true}}));
  send(*m, "o", content);
  EXPECT_EQ(owner(dir_.file("asked")), std::pair(77u, 88u));
  m->handle(upload("o", home + "/mine", content, {{"overwrite", true}, {"owner", "0:0"}}));
  send(*m, "o", content);
  EXPECT_EQ(owner(home + "/mine"), std::pair(0u, 0u));
}

TEST_F(FileTransferTest, TheNextUploadRemovesWhatAKilledAgentLeftButNoLiveUploadsFile) {
  auto m = make();
  writeFile(dir_.file(".vela-upload-0123456789ab"), randomBytes(5000));  // a killed agent's
  fs::create_directory(dir_.file(".vela-upload-dir"));
  fs::create_symlink(dir_.file(".vela-upload-0123456789ab"), dir_.file(".vela-upload-link"));
  Bytes content = randomBytes(100'000);
  // A live upload (another transfer, or another agent process) keeps its file.
  m->handle(upload("live", dir_.file("live.bin"), content));
  std::vector<std::string> live;
  while (live.empty()) {
    for (const auto& n : names()) {
      if (n.starts_with(".vela-upload-") && n != ".vela-upload-0123456789ab" && n != ".vela-upload-dir" &&
          n != ".vela-upload-link") {
        live.push_back(n);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(live.size(), 1u);
  EXPECT_FALSE(fs::exists(dir_.file(".vela-upload-0123456789ab")));  // gone before the live one began
  writeFile(dir_.file(".vela-upload-ba9876543210"), randomBytes(10));
  m->handle(upload("next", dir_.file("next.bin"), content));
  send(*m, "next", content);
  EXPECT_TRUE(fs::exists(dir_.file(live[0])));
  EXPECT_FALSE(fs::exists(dir_.file(".vela-upload-ba9876543210")));
  EXPECT_TRUE(fs::is_directory(dir_.file(".vela-upload-dir")));
  EXPECT_TRUE(fs::is_symlink(dir_.file(".vela-upload-link")));
  send(*m, "live", content);
  EXPECT_EQ(names(), (std::vector<std::string>{".vela-upload-dir", ".vela-upload-link", "live.bin", "next.bin"}));
}

TEST_F(FileTransferTest, AFrameTooLargeToReadEndsItsUploadWithTooLargeAndLeavesNothing) {
  auto m = make();
  Bytes content = randomBytes(200'000);
  m->handle(upload("big", dir_.file("big.bin"), content));
  frames_.nextOf<Out::Ready>("big");
  m->refuseOversize("big", 2'000'000, 1'048'576);
  EXPECT_EQ(error("big"), "too_large");
  EXPECT_EQ(m->activeCount(), 0);
  while (!names().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // A chunk that still arrives for it is no transfer's; without a transfer the error is said alone.
  m->handle(chunk("big", 0, std::span(content).first(100)));
  m->refuseOversize("idle", 2'000'000, 1'048'576);
  EXPECT_EQ(error("idle"), "too_large");
  EXPECT_EQ(frames_.pending("big"), 0u);
}

TEST_F(FileTransferTest, BadUploadsLeaveNothingUnderTheTargetName) {
  auto m = make();
  Bytes content = randomBytes(200'000);
  const std::string target = dir_.file("t.bin");
  auto refused = [&](const std::function<void()>& act) {
    act();
    std::string code = error("x");
    EXPECT_FALSE(fs::exists(target)) << code;
    // The temporary file goes with the transfer's last task.
    while (!names().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return code;
  };
  m->handle(upload("x", target, content));
  frames_.nextOf<Out::Ready>("x");
  EXPECT_EQ(refused([&] { m->handle(chunk("x", 65536, std::span(content).first(100))); }), "bad_offset");
  m->handle(upload("x", target, Bytes(10)));
  frames_.nextOf<Out::Ready>("x");
  EXPECT_EQ(refused([&] { m->handle(chunk("x", 0, std::span(content).first(11))); }), "past_end");
  FileTransferManager::Options narrow;
  narrow.limits = {.window = 100'000, .chunk = 256 * 1024};
  auto n = FileTransferManager::create(frames_.sink(), narrow);
  n->handle(upload("x", target, content));
  frames_.nextOf<Out::Ready>("x");
  // More than the window at once is refused before anything of it queues.
  EXPECT_EQ(refused([&] { n->handle(chunk("x", 0, std::span(content).first(150'000))); }),
            "window_exceeded");
  EXPECT_EQ(refused([&] {
              m->handle(frame("x", {{"type", "file.upload"}, {"path", target}, {"size", std::uint64_t{1} << 60},
                                    {"sha256", std::string(64, 'a')}}));
            }),
            "no_space");
  EXPECT_EQ(refused([&] { m->handle(upload("x", dir_.file("a\tb"), content)); }), "bad_path");
  EXPECT_EQ(refused([&] { m->handle(upload("x", target, content, {{"owner", "no-such-user-here"}})); }), "bad_owner");
  EXPECT_EQ(refused([&] { m->handle(upload("x", target, content, {{"mode", "rwx"}})); }), "bad_request");
  m->handle(upload("x", target, content));
  frames_.nextOf<Out::Ready>("x");
  m->handle(frame("x", {{"type", "file.cancel"}}));
  while (!names().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(m->activeCount(), 0);
}

TEST_F(FileTransferTest, HashMismatchIsReportedAndNothingIsRenamed) {
  auto m = make();
  Bytes content = randomBytes(150'000), wrong = content;
  wrong.back() ^= 0x80;
  m->handle(upload("h", dir_.file("h.bin"), content));
  Out last = send(*m, "h", wrong);
  auto* e = std::get_if<Out::Error>(&last.payload);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, "hash_mismatch");
  while (!names().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST_F(FileTransferTest, ADiskThatFillsDuringTheUploadLeavesNothingBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  const std::string mnt = dir_.file("small");
  fs::create_directory(mnt);
  ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m"), 0);
  auto m = make();
  // 10 GiB announced for a 2 MiB disk: refused before a byte is written.
  m->handle(frame("full", {{"type", "file.upload"}, {"path", mnt + "/f.bin"}, {"size", std::uint64_t{10} << 30},
                           {"sha256", std::string(64, 'a')}}));
  EXPECT_EQ(error("full"), "no_space");
  EXPECT_EQ(std::distance(fs::directory_iterator(mnt), {}), 0);
  Bytes content = randomBytes(1'500'000);
  m->handle(upload("full", mnt + "/f.bin", content));
  frames_.nextOf<Out::Ready>("full");
  writeFile(mnt + "/filler", Bytes(1'000'000));  // someone else takes the room meanwhile
  std::uint64_t offset = 0;
  std::string code;
  while (code.empty() && offset < content.size()) {
    m->handle(chunk("full", offset, std::span(content).subspan(offset, 65536)));
    offset += 65536;
    for (Out f = frames_.next("full");; f = frames_.next("full")) {
      if (auto* e = std::get_if<Out::Error>(&f.payload)) code = e->code;
      break;
    }
  }
  EXPECT_EQ(code, "no_space");
  while (fs::exists(mnt + "/f.bin") || std::distance(fs::directory_iterator(mnt), {}) != 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m.reset();
  ::umount(mnt.c_str());
}

TEST_F(FileTransferTest, InterleavedTransfersOnOneConnectionEachVerifyAndTheCapHolds) {
  FileTransferManager::Options options;
  options.maxTransfers = 3;
  auto m = make(options);
  Bytes a = randomBytes(400'000, 1), b = randomBytes(333'333, 2), c = randomBytes(500'000, 3);
  writeFile(dir_.file("c.bin"), c);
  m->handle(upload("a", dir_.file("a.bin"), a));
  m->handle(upload("b", dir_.file("b.bin"), b));
  m->handle(frame("c", {{"type", "file.download"}, {"path", dir_.file("c.bin")}}));
  auto ra = frames_.nextOf<Out::Ready>("a");
  frames_.nextOf<Out::Ready>("b");
  frames_.nextOf<Out::Meta>("c");
  m->handle(upload("a", dir_.file("other"), b));
  EXPECT_EQ(error("a"), "busy");
  m->handle(frame("d", {{"type", "file.download"}, {"path", dir_.file("c.bin")}}));
  EXPECT_EQ(error("d"), "too_many_transfers");
  // Alternate chunks of the two uploads while the download runs beside them.
  std::thread downloader([&] { EXPECT_EQ(receive(*m, "c").first, c); });
  std::uint64_t oa = 0, ob = 0;
  while (oa < a.size() || ob < b.size()) {
    for (auto [id, bytes, off] : {std::tuple{"a", &a, &oa}, std::tuple{"b", &b, &ob}}) {
      if (*off >= bytes->size()) continue;
      std::size_t n = std::min<std::size_t>(ra.chunk, bytes->size() - *off);
      m->handle(chunk(id, *off, std::span(*bytes).subspan(*off, n)));
      *off += n;
      EXPECT_EQ(frames_.nextOf<Out::Ack>(id).offset, *off);
    }
  }
  EXPECT_EQ(frames_.nextOf<Out::Done>("a").sha256, AgentCrypto::sha256Hex(a));
  EXPECT_EQ(frames_.nextOf<Out::Done>("b").sha256, AgentCrypto::sha256Hex(b));
  downloader.join();
  EXPECT_EQ(readAll(dir_.file("a.bin")), a);
  EXPECT_EQ(readAll(dir_.file("b.bin")), b);
}

TEST_F(FileTransferTest, PolicyOffRefusesEveryRequestWithDisabled) {
  FileTransferManager::Options options;
  options.allowed = false;
  auto m = make(options);
  m->handle(frame("p", {{"type", "file.list"}, {"path", "/"}}));
  EXPECT_EQ(error("p"), "disabled");
  m->handle(upload("p", dir_.file("x"), Bytes(3)));
  EXPECT_EQ(error("p"), "disabled");
  m->setAllowed(true);
  m->handle(frame("p", {{"type", "file.list"}, {"path", "/"}}));
  frames_.nextOf<Out::Listing>("p");
}

}  // namespace
}  // namespace vela
