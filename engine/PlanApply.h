#pragma once

#include "ChunkAssembly.h"
#include "UpdatePlan.h"

class GameFolder;
class InstalledState;
class StagedUpdate;

// Puts a plan in place through staged, which the caller has opened on the
// folder: the new directories made, every file that changed assembled from its
// verified chunks into a temporary, the dropped files queued for removal, and
// all of it committed at once. Unchanged files are not touched. On failure
// staged is aborted and nothing in the folder has changed; a chunk that did not verify is named in
// failure (file: index into plan.files) so the caller can fetch it instead and
// try again, or fall back to the whole download. After the commit the new
// installed state is written to state and saved in the folder; should that
// fail, the update still counts as done (true), the folder keeps no state (the
// next update reads every file) and why says so.
bool applyPlan(const UpdatePlan& plan, const UpdateIndex& index, const GameFolder& folder,
               const ChunkStore& store, StagedUpdate& staged, InstalledState& state,
               AssemblyFailure* failure, QString* why = nullptr);
