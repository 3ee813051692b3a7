#include "commands/replay_store.h"

#include <utility>

#include "config/agent_paths.h"
#include "platform/file_io.h"
#include "util/canonical_json.h"
#include "util/json_document.h"

namespace vela {

ReplayStore::ReplayStore(std::string url) : url_(std::move(url)) {
  if (auto text = AgentPaths::readStateFile(url_)) {
    if (auto decoded = decode(*text)) state_ = std::move(*decoded);
  }
  rebuildIndex();
}

ReplayStore::ReplayStore() : ReplayStore(AgentPaths::replayStateFile()) {}

bool ReplayStore::isNonceSeen(std::string_view nonce) const {
  return nonceCounts_.find(std::string(nonce)) != nonceCounts_.end();
}

Result<void> ReplayStore::accept(std::int64_t sequenceNo, const std::string& nonce) {
  if (sequenceNo > state_.highWaterSeq) state_.highWaterSeq = sequenceNo;
  rememberNonce(nonce);
  while (state_.recentNonces.size() > kMaxNonces) forgetOldestNonce();
  return write();
}

void ReplayStore::clear() {
  state_ = State{};
  nonceCounts_.clear();
  (void)write();
}

void ReplayStore::rememberNonce(std::string nonce) {
  ++nonceCounts_[nonce];
  state_.recentNonces.push_back(std::move(nonce));
}

void ReplayStore::forgetOldestNonce() {
  auto it = nonceCounts_.find(state_.recentNonces.front());
  if (it != nonceCounts_.end() && --it->second == 0) nonceCounts_.erase(it);
  state_.recentNonces.pop_front();
}

void ReplayStore::rebuildIndex() {
  while (state_.recentNonces.size() > kMaxNonces) state_.recentNonces.pop_front();
  nonceCounts_.clear();
  for (const auto& nonce : state_.recentNonces) ++nonceCounts_[nonce];
}

Result<void> ReplayStore::write() const { return AgentPaths::writeProtected(encode(state_), url_); }

std::string ReplayStore::encode(const State& state) {
  // Nonces arrive as decoded UTF-8; a stray invalid byte is replaced by the encoder.
  JSONValue::Array nonces(state.recentNonces.begin(), state.recentNonces.end());
  return CanonicalJSON::encode(
      {{"highWaterSeq", state.highWaterSeq}, {"recentNonces", std::move(nonces)}});
}

std::optional<ReplayStore::State> ReplayStore::decode(std::string_view json) {
  auto doc = JSONDocument::read(json);
  if (!doc) return std::nullopt;
  const JSONValue* seq = (*doc)["highWaterSeq"];
  const JSONValue* nonces = (*doc)["recentNonces"];
  if (seq == nullptr || nonces == nullptr || !nonces->isArray()) return std::nullopt;
  // Above the signed range the mark would wrap into a negative one.
  auto highWater = seq->intValue();
  if (!highWater) return std::nullopt;
  State state;
  state.highWaterSeq = *highWater;
  for (const JSONValue& nonce : *nonces->arrayValue()) {
    const std::string* text = nonce.stringRef();
    if (text == nullptr) return std::nullopt;
    state.recentNonces.push_back(*text);
  }
  return state;
}

}  // namespace vela
