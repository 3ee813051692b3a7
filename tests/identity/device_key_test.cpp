#include "identity/device_key.h"

#include <gtest/gtest.h>

#include "config/agent_paths.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::ScopedStateDir;

class DeviceKeyFileTest : public ::testing::Test {
 protected:
  ScopedStateDir state;
};

TEST_F(DeviceKeyFileTest, CreateFallsBackToOwnerOnlyFileThatReloadsToTheSameKey) {
  ::testing::internal::CaptureStderr();
  DeviceKey created = DeviceKey::create().value();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(created.backing(), DeviceKey::Backing::file);
  EXPECT_NE(
      err.find("] INFO: generated file-backed device key at " + state.file("device.key") + "\n"),
      std::string::npos)
      << err;
  EXPECT_EQ(err.find("WARN"), std::string::npos) << err;

  std::string file = testing::readFileOrEmpty(state.file("device.key"));
  Bytes point = created.publicKeyX963().value();
  ASSERT_EQ(file.size(), 97u);
  EXPECT_EQ(toBytes(file.substr(0, 65)), point);
  EXPECT_EQ(platform::fileMode(state.file("device.key")).value(), 0600u);

  DeviceKey loaded = DeviceKey::load().value();
  EXPECT_EQ(loaded.backing(), DeviceKey::Backing::file);
  EXPECT_EQ(loaded.publicKeyX963().value(), point);
}

TEST_F(DeviceKeyFileTest, CorruptFileFailsToLoadLoadOrCreateReplacesItAndDeleteRemovesIt) {
  std::string good = [] {
    (void)DeviceKey::create().value();
    return testing::readFileOrEmpty(AgentPaths::deviceKeyFile());
  }();
  std::string wrongScalar = good;
  wrongScalar[96] = static_cast<char>(wrongScalar[96] ^ 0x01);
  for (const std::string& corrupt :
       {good.substr(0, 96), good + "x", wrongScalar, std::string(97, '\0')}) {
    testing::writeFile(state.file("device.key"), corrupt);
    auto loaded = DeviceKey::load();
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(loaded.error().message.starts_with("could not load file-backed device key: "))
        << loaded.error().message;
  }

  DeviceKey fresh = DeviceKey::loadOrCreate().value();
  std::string rewritten = testing::readFileOrEmpty(state.file("device.key"));
  EXPECT_EQ(rewritten.size(), 97u);
  EXPECT_NE(rewritten, good);
  EXPECT_EQ(DeviceKey::load().value().publicKeyX963().value(), fresh.publicKeyX963().value());

  // Deleting removes the file and tolerates an absent key.
  ASSERT_TRUE(fresh.deleteKey());
  EXPECT_FALSE(platform::fileExists(state.file("device.key")));
  auto missing = DeviceKey::load();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "device key not found");
  EXPECT_TRUE(fresh.deleteKey());
}

}  // namespace
}  // namespace vela
