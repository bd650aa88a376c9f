// dssetup: the steps `set` and `rescue` share before they send settings.
#pragma once

#include <string>
#include <vector>

#include "client/args.h"
#include "client/pc_network.h"
#include "client/result.h"
#include "client/settings.h"

namespace dssetup {

// The changes of the options: --from's object, --now, the KEY=VALUE words; false with the
// result that refuses them.
bool GatherChanges(const Options &options, std::vector<Change> *changes, Result *refusal);

// Values refused before anything was sent, as a result: the one problem, or how many there
// are; warnings alone say that --force sends them all the same.
Result RefusedSettings(std::vector<Problem> problems, const std::string &why);

// Warnings about new fixed addressing of the appliance `mac`, which this PC reaches by `now`:
// this PC would not reach it there (ReachProblems), or another host answers at the address.
std::vector<Problem> MoveWarnings(const PcNetwork &pc, const PcPath &now, const Mac &mac,
                                  const Settings &wanted);

}  // namespace dssetup
