#include "desktop/linux/media/annex_b.h"

namespace vela::AnnexB {
namespace {

void appendUnit(Bytes& out, std::span<const std::uint8_t> unit) {
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), unit.begin(), unit.end());
}

// Reads `count` 16-bit-length-prefixed sets starting at `at`; false when truncated.
bool readSets(std::span<const std::uint8_t> data, std::size_t& at, std::size_t count, std::vector<Bytes>& sets) {
  for (std::size_t i = 0; i < count; ++i) {
    if (at + 2 > data.size()) return false;
    std::size_t length = (std::size_t{data[at]} << 8) | data[at + 1];
    at += 2;
    if (length > data.size() - at) return false;
    sets.emplace_back(data.begin() + at, data.begin() + at + length);
    at += length;
  }
  return true;
}

}  // namespace

std::optional<ParameterSets> fromDecoderRecord(std::span<const std::uint8_t> avcC) {
  if (avcC.size() < 7 || avcC[0] != 1) return std::nullopt;
  ParameterSets sets;
  std::size_t at = 6;
  if (!readSets(avcC, at, avcC[5] & 0x1f, sets.sps)) return std::nullopt;
  if (at >= avcC.size()) return std::nullopt;
  std::size_t ppsCount = avcC[at++];
  if (!readSets(avcC, at, ppsCount, sets.pps)) return std::nullopt;
  return sets;
}

Bytes convert(std::span<const std::uint8_t> sample, const ParameterSets* keyframeParameterSets) {
  Bytes out;
  out.reserve(sample.size() + 64);
  if (keyframeParameterSets) {
    for (const auto& sps : keyframeParameterSets->sps) appendUnit(out, sps);
    for (const auto& pps : keyframeParameterSets->pps) appendUnit(out, pps);
  }
  std::size_t at = 0;
  while (sample.size() - at >= 4) {
    std::size_t length = (std::size_t{sample[at]} << 24) | (std::size_t{sample[at + 1]} << 16) |
                         (std::size_t{sample[at + 2]} << 8) | sample[at + 3];
    at += 4;
    if (length > sample.size() - at) break;
    appendUnit(out, sample.subspan(at, length));
    at += length;
  }
  return out;
}

}  // namespace vela::AnnexB
