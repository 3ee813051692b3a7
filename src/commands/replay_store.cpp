#include "commands/replay_store.h"

#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "config/agent_paths.h"
#include "platform/file_io.h"

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
  nlohmann::json doc = nlohmann::json::object();
  doc["highWaterSeq"] = state.highWaterSeq;
  nlohmann::json nonces = nlohmann::json::array();
  for (const auto& nonce : state.recentNonces) nonces.push_back(nonce);
  doc["recentNonces"] = std::move(nonces);
  // Nonces arrive as decoded UTF-8, but a stray invalid byte must not make the write
  // throw; it is replaced instead.
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<ReplayStore::State> ReplayStore::decode(std::string_view json) {
  auto doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  auto seq = doc.find("highWaterSeq");
  auto nonces = doc.find("recentNonces");
  if (seq == doc.end() || nonces == doc.end()) return std::nullopt;
  if (!seq->is_number_integer() || !nonces->is_array()) return std::nullopt;
  State state;
  if (seq->is_number_unsigned()) {
    auto value = seq->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    state.highWaterSeq = static_cast<std::int64_t>(value);
  } else {
    state.highWaterSeq = seq->get<std::int64_t>();
  }
  for (const auto& nonce : *nonces) {
    if (!nonce.is_string()) return std::nullopt;
    state.recentNonces.push_back(nonce.get<std::string>());
  }
  return state;
}

}  // namespace vela
