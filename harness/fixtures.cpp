#include "harness/fixtures.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace dpal::test {

namespace {

std::array<uint8_t, 32> FromHex(const std::string& hex) {
  if (hex.size() != 64) throw std::runtime_error("bad digest from the build: " + hex);
  std::array<uint8_t, 32> out{};
  for (size_t i = 0; i < 32; ++i)
    out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

ProfileFixture Load(const std::string& name, const std::string& hex) {
  ProfileFixture fixture;
  fixture.name = name;
  std::ifstream in(std::string(DPAL_FIXTURE_DIR) + "/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture " + name);
  fixture.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  fixture.sha256 = FromHex(hex);
  return fixture;
}

}  // namespace

const ProfileFixture& SdrProfile() {
  static const ProfileFixture fixture = Load("sRGB.icc", DPAL_SDR_FIXTURE_SHA256);
  return fixture;
}

const ProfileFixture& HdrProfile() {
  static const ProfileFixture fixture =
      Load("compatibleWithAdobeRGB1998.icc", DPAL_HDR_FIXTURE_SHA256);
  return fixture;
}

}  // namespace dpal::test
