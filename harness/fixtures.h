// Real ICC profiles from Debian's icc-profiles-free package, copied into the build tree, with
// SHA-256 digests that the build computes from the files themselves.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dpal::test {

struct ProfileFixture {
  std::string name;                  // e.g. "sRGB.icc"
  std::vector<uint8_t> bytes;        // the file's content
  std::array<uint8_t, 32> sha256{};  // its digest, as the build computed it
};

// The SDR and HDR fixtures (two different real profiles).
const ProfileFixture& SdrProfile();
const ProfileFixture& HdrProfile();

}  // namespace dpal::test
