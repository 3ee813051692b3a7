#include "identity/device_key.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "identity/ec_private_key.h"
#include "identity/file_key_backing.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::ScopedStateDir;
using ::testing::StartsWith;

// A backing ahead of the file, as a hardware key store would be.
class MemoryBacking final : public KeyBacking {
 public:
  bool works = true;
  int removals = 0;

  DeviceKeyBacking kind() const override { return DeviceKeyBacking::file; }
  Result<std::optional<std::unique_ptr<BackedKey>>> find(const Bytes& tag) override {
    auto it = keys_.find(tag);
    if (it == keys_.end()) return std::optional<std::unique_ptr<BackedKey>>();
    return std::optional<std::unique_ptr<BackedKey>>(ECPrivateKey::fromX963(it->second).value());
  }
  Result<std::unique_ptr<BackedKey>> create(const Bytes& tag) override {
    if (!works) return fail("no hardware");
    auto key = ECPrivateKey::generate().value();
    keys_[tag] = key->exportX963().value();
    return std::unique_ptr<BackedKey>(std::move(key));
  }
  Result<void> remove(const Bytes& tag) override {
    ++removals;
    keys_.erase(tag);
    return {};
  }
  std::string createdMessage() const override { return "generated memory device key"; }

 private:
  std::map<Bytes, Bytes> keys_;  // tag -> X9.63 private form
};

// Replacing a corrupt key through loadOrCreate is the enrolment test's (setup --enroll).
TEST(DeviceKeyFileTest, OwnerOnlyFileReloadsToTheSameKeyAndCorruptionFailsToLoad) {
  ScopedStateDir state;
  ::testing::internal::CaptureStderr();
  DeviceKey created = DeviceKey::create().value();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(created.backing(), DeviceKey::Backing::file);
  EXPECT_THAT(err, HasSubstr("] INFO: generated file-backed device key at " +
                             state.file("device.key") + "\n"));
  EXPECT_THAT(err, ::testing::Not(HasSubstr("WARN")));

  const std::string good = testing::readFileOrEmpty(state.file("device.key"));
  Bytes point = created.publicKeyX963().value();
  ASSERT_EQ(good.size(), 97u);
  EXPECT_EQ(toBytes(good.substr(0, 65)), point);
  EXPECT_EQ(platform::fileMode(state.file("device.key")).value(), 0600u);
  DeviceKey loaded = DeviceKey::load().value();
  EXPECT_EQ(loaded.backing(), DeviceKey::Backing::file);
  EXPECT_EQ(loaded.publicKeyX963().value(), point);

  std::string wrongScalar = good;
  wrongScalar[96] = static_cast<char>(wrongScalar[96] ^ 0x01);
  for (const std::string& corrupt :
       {good.substr(0, 96), good + "x", wrongScalar, std::string(97, '\0')}) {
    testing::writeFile(state.file("device.key"), corrupt);
    auto refused = DeviceKey::load();
    ASSERT_FALSE(refused);
    EXPECT_THAT(refused.error().message, StartsWith("could not load file-backed device key: "));
  }

  // Deleting removes the file and tolerates an absent key.
  ASSERT_TRUE(created.deleteKey());
  EXPECT_FALSE(platform::fileExists(state.file("device.key")));
  auto missing = DeviceKey::load();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "device key not found");
  EXPECT_TRUE(created.deleteKey());
}

class DeviceKeyBackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setKeyBackingsForTesting({preferred, std::make_shared<FileKeyBacking>()});
  }
  void TearDown() override { setKeyBackingsForTesting({}); }
  ScopedStateDir state;
  std::shared_ptr<MemoryBacking> preferred = std::make_shared<MemoryBacking>();
};

// A hardware backing must slot in ahead of the file without enrolment knowing.
TEST_F(DeviceKeyBackingTest, APreferredBackingWinsAndTheFileIsTheFallback) {
  DeviceKey first = DeviceKey::loadOrCreate().value();
  DeviceKey again = DeviceKey::loadOrCreate().value();
  EXPECT_EQ(again.publicKeyX963().value(), first.publicKeyX963().value());
  EXPECT_FALSE(platform::fileExists(state.file("device.key")));

  preferred->works = false;
  DeviceKey fallback = DeviceKey::create(toBytes("tag-2")).value();
  EXPECT_EQ(toBytes(testing::readFileOrEmpty(state.file("device.key")).substr(0, 65)),
            fallback.publicKeyX963().value());
  // A key in the preferred backing wins over the file; a tag it lacks falls back to it.
  EXPECT_EQ(DeviceKey::load().value().publicKeyX963().value(), first.publicKeyX963().value());
  EXPECT_EQ(DeviceKey::load(toBytes("tag-2")).value().publicKeyX963().value(),
            fallback.publicKeyX963().value());

  // Deleting asks every backing, so nothing of an earlier preference stays behind.
  ASSERT_TRUE(first.deleteKey());
  EXPECT_EQ(preferred->removals, 1);
  EXPECT_FALSE(platform::fileExists(state.file("device.key")));
}

}  // namespace
}  // namespace vela
