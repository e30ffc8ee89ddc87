// The scenarios that come with tdssim: "demo", "edge" and the generator "gen:...".
#pragma once

#include "Scenario.h"

#include <optional>
#include <string>

namespace tdssim {

// The INI text of a built-in scenario, or nothing for an unknown name.
std::optional<std::string> builtinScenarioText(const std::string& name);

// The "edge" scenario's own sections (EdgeScenario.cpp), without the shared logins and
// databases.
std::string edgeScenarioText();

// "sessions=10000,blocked=0.2,depth=5,seed=1": that many process rows, the given share of
// them blocked, in chains of `depth` waiters under one head each. Throws ScenarioError.
Scenario generateScenario(const std::string& params);

} // namespace tdssim
