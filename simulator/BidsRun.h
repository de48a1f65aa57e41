// One run of a BIDS data set: its *_bold.nii[.gz], the TR from the JSON
// sidecar's "RepetitionTime" and the study's design from *_events.tsv.
//
// The run is picked by its entities (sub, ses, task, run) among the bold files
// of the tree (derivatives/ left out), or given as the bold file itself.  The
// sidecar is the bold file's own, or one a level above that the tree shares
// for the task (task-T_bold.json).  The events file is the bold file's own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "simulator/Protocol.h"

struct BidsEntities {
  std::string subject, session, task, run;  // empty: any
};

struct BidsRun {
  std::string bold, sidecar, events;  // events empty: the run has none
  double trSeconds = 0.0;
};

// Finds the run in `root` (a folder or a bold file).  False with `error`
// saying what is missing, or listing the candidates when several fit.
bool findBidsRun(const std::string& root, const BidsEntities& entities, BidsRun& run, std::string& error);

// The design of the events file `path` for `volumes` volumes of `trSeconds`:
// each trial_type a condition, numbered in order of first appearance (their
// names in `names`).  A volume belongs to every event whose span overlaps its
// TR (an event without duration, "n/a" or 0, to the volume it starts in); the
// host reports the one that started last.  False with `error` naming the file
// and the line.
bool readBidsEvents(const std::string& path, double trSeconds, int volumes,
                    std::unique_ptr<Protocol>& protocol, std::vector<std::string>& names, std::string& error);
