#include "desktop/recording_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <filesystem>

#include "config/agent_config.h"
#include "desktop/desktop_session_fakes.h"
#include "desktop/retained_recording.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::UnorderedElementsAre;

// A folder of recordings, each of some size, last written some time before `now`.
class Recordings {
 public:
  const std::chrono::system_clock::time_point now = std::chrono::system_clock::now();

  std::string add(const std::string& name, std::size_t bytes, std::chrono::hours age) {
    const std::string path = dir_.file(name);
    testing::writeFile(path, std::string(bytes, 'x'));
    fs::last_write_time(path, std::chrono::file_clock::from_sys(now - age));
    return path;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_.path())) found.push_back(entry.path().filename());
    return found;
  }
  const std::string& path() const { return dir_.path(); }

 private:
  testing::TempDir dir_;
};

TEST(RecordingStore, OldestGoFirstUntilBothLimitsHoldAndNothingElseIsTouched) {
  Recordings r;
  r.add("vela-desktop-a.mp4", 100, 24h * 40);  // past the age limit
  r.add("vela-desktop-b.mp4", 300, 24h * 3);
  r.add("vela-desktop-c.mp4", 300, 24h * 2);
  r.add("vela-desktop-d.mp4", 300, 1h);
  r.add("notes.txt", 5000, 24h * 90);          // not a recording
  r.add("vela-desktop-.mp4", 5000, 24h * 90);  // not one of ours either
  fs::create_symlink(r.path() + "/notes.txt", r.path() + "/vela-desktop-link.mp4");

  auto removed = RecordingStore::prune(r.path(), {30 * 24h, 700}, r.now);
  EXPECT_EQ(removed, (std::vector<std::string>{r.path() + "/vela-desktop-a.mp4", r.path() + "/vela-desktop-b.mp4"}));
  EXPECT_THAT(r.names(), UnorderedElementsAre("vela-desktop-c.mp4", "vela-desktop-d.mp4", "notes.txt",
                                              "vela-desktop-.mp4", "vela-desktop-link.mp4"));

  // Zero turns a limit off.
  EXPECT_TRUE(RecordingStore::prune(r.path(), {0s, 0}, r.now + 24h * 365).empty());
  EXPECT_TRUE(RecordingStore::prune(r.path() + "/missing", {1s, 1}, r.now).empty());
}

// A recording being written is open in its writer: it stays, however old its start and
// however far it alone goes beyond the size, and it counts toward the total.
TEST(RecordingStore, TheRecordingInProgressIsNeverRemoved) {
  Recordings r;
  r.add("vela-desktop-old.mp4", 100, 24h * 60);
  const std::string writing = r.add("vela-desktop-writing.mp4", 2000, 24h * 60);
  r.add("vela-desktop-newer.mp4", 100, 1h);
  const int fd = ::open(writing.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);

  auto removed = RecordingStore::prune(r.path(), {24h, 1000}, r.now);
  EXPECT_EQ(removed, (std::vector<std::string>{r.path() + "/vela-desktop-old.mp4",
                                               r.path() + "/vela-desktop-newer.mp4"}));
  EXPECT_THAT(r.names(), UnorderedElementsAre("vela-desktop-writing.mp4"));

  ::close(fd);  // finished: the next recording may make room by it
  EXPECT_EQ(RecordingStore::prune(r.path(), {24h, 1000}, r.now), (std::vector<std::string>{writing}));
}

// A session's recording makes room before it starts, in a folder it creates owner-only.
TEST(RecordingStore, ARecordingStartsInItsFolderAfterTheRetentionMadeRoom) {
  Recordings r;
  r.add("vela-desktop-old.mp4", 100, 24h * 60);
  auto inner = std::make_shared<testing::FakeRecording>(std::nullopt);
  RetainedRecording recording(inner, {r.path(), {24h, 0}});
  ASSERT_TRUE(recording.start(640, 480));
  EXPECT_TRUE(r.names().empty());
  EXPECT_EQ(inner->state().started, (std::pair{640, 480}));

  const std::string fresh = r.path() + "/state/recordings";
  ASSERT_TRUE(RetainedRecording(std::make_shared<testing::FakeRecording>(std::nullopt), {fresh, {}}).start(1, 1));
  EXPECT_EQ(platform::fileMode(fresh).value_or(0), 0700u);

  // A file where the folder should be: the session is told why it cannot record.
  testing::writeFile(r.path() + "/plain", "");
  auto started =
      RetainedRecording(std::make_shared<testing::FakeRecording>(std::nullopt), {r.path() + "/plain/recordings", {}})
          .start(1, 1);
  ASSERT_FALSE(started);
  EXPECT_THAT(started.error().message, ::testing::StartsWith("recorder: startWriting failed ("));
}

TEST(RecordingStore, LimitsComeFromTheConfigurationOrItsDefaults) {
  testing::ScopedStateDir state;
  RecordingPlace place = RecordingStore::configured();
  EXPECT_EQ(place.directory, state.file("recordings"));
  EXPECT_EQ(place.retention, (RecordingRetention{std::chrono::seconds(AgentConfig::kDefaultRecordingMaxAgeSeconds),
                                                 AgentConfig::kDefaultRecordingMaxTotalBytes}));
  AgentConfig config;
  config.serverBaseURL = "https://cp.example";
  config.recordingMaxAgeSeconds = 3600;
  config.recordingMaxTotalBytes = -1;  // below zero: no limit, as zero
  ASSERT_TRUE(config.save());
  EXPECT_EQ(RecordingStore::configured().retention, (RecordingRetention{3600s, 0}));
}

}  // namespace
}  // namespace vela
