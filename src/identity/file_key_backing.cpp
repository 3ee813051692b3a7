#include "identity/file_key_backing.h"

#include "config/agent_paths.h"
#include "identity/ec_private_key.h"
#include "platform/file_io.h"

namespace vela {

Result<std::optional<std::unique_ptr<BackedKey>>> FileKeyBacking::find(const Bytes&) {
  const std::string path = AgentPaths::deviceKeyFile();
  if (!platform::fileExists(path)) return std::optional<std::unique_ptr<BackedKey>>();
  std::string bytes = VELA_TRY(AgentPaths::readStateFile(path));
  auto key = ECPrivateKey::fromX963(toBytes(bytes));
  if (!key) return fail("could not load file-backed device key: " + key.error().message);
  return std::optional<std::unique_ptr<BackedKey>>(std::move(*key));
}

Result<std::unique_ptr<BackedKey>> FileKeyBacking::create(const Bytes&) {
  auto key = ECPrivateKey::generate();
  if (!key) return fail("could not generate device key: " + key.error().message);
  auto exported = (*key)->exportX963();
  if (!exported) return fail("could not export device key: " + exported.error().message);
  VELA_TRY_VOID(AgentPaths::writeProtected(toString(*exported), AgentPaths::deviceKeyFile()));
  return std::unique_ptr<BackedKey>(std::move(*key));
}

Result<void> FileKeyBacking::remove(const Bytes&) {
  (void)platform::removeFile(AgentPaths::deviceKeyFile());
  return {};
}

std::string FileKeyBacking::createdMessage() const {
  return "generated file-backed device key at " + AgentPaths::deviceKeyFile();
}

}  // namespace vela
