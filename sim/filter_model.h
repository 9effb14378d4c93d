#pragma once
// The KS filter a profile describes, as a KS object answering the pin and
// topology properties.
#include <memory>

#include "sim/profile.h"
#include "sim/scripted_ks_object.h"

namespace sim {

// Fills `filter` with the pin and topology properties `profile` describes.
void DescribeFilter(const Profile& profile, ScriptedKsObject& filter);

inline std::shared_ptr<ScriptedKsObject> BuildFilterObject(const Profile& profile) {
  auto filter = std::make_shared<ScriptedKsObject>();
  DescribeFilter(profile, *filter);
  return filter;
}

}  // namespace sim
