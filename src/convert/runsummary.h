#pragma once
// The closing report of a run, the same in every front end.
#include <cstddef>
#include <string>

struct RunStats;

// Lines, each ending in a newline, over a run of inputCount input files;
// result is the run's last status text ("result: ..." is left out when empty).
std::string FormatSummary(const RunStats& stats, size_t inputCount, const std::string& result);
