#pragma once

// Conversion of length-prefixed H.264 access units (the form encoders hand out with an
// avcC decoder record) to the Annex-B byte stream the rest of the agent sends.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "util/bytes.h"

namespace vela::AnnexB {

inline constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};

struct ParameterSets {
  std::vector<Bytes> sps;
  std::vector<Bytes> pps;
};

// Reads the SPS and PPS lists of an avcC record; nothing when it is malformed.
std::optional<ParameterSets> fromDecoderRecord(std::span<const std::uint8_t> avcC);

// For a keyframe, first every SPS then every PPS, each after a start code; then each
// unit of `sample` (4-byte big-endian length, then the unit) after a start code. A
// length running past the end stops the walk: what was written so far is the result.
Bytes convert(std::span<const std::uint8_t> sample, const ParameterSets* keyframeParameterSets);

}  // namespace vela::AnnexB
