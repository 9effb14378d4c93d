// The profiles shipped in sim/profiles parse and plug.
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "sim/lab_state.h"
#include "sim/profile.h"

namespace {

TEST(ProfileFiles, EveryShippedProfileParsesAndPlugs) {
  const std::string dir = std::string(ORVI_SOURCE_DIR) + "\\sim\\profiles\\";
  const char* const files[] = {"bits-16-24.json",  "four-channel.json",         "full-speed.json",
                               "odd-pins.json",    "playback-only.json",        "render-alias-removed.json"};
  for (const char* file : files) {
    std::ifstream in(dir + file, std::ios::binary);
    ASSERT_TRUE(in) << dir + file;
    std::stringstream text;
    text << in.rdbuf();
    sim::Profile profile;
    std::string error;
    EXPECT_TRUE(sim::ParseProfile(text.str(), profile, error)) << file << ": " << error;
    EXPECT_TRUE(sim::Lab::Plug(text.str(), error)) << file << ": " << error;
  }
  sim::Lab::Reset();
}

}  // namespace
