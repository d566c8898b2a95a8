#pragma once
// The record layer's checks on the application data of a data file: the list
// index and every list (record chains, chunk chains, field walks), counting
// folders, lists and items on the way.

#include "check/FileReport.h"
#include "container/DataFile.h"

namespace quillet {

// Inside a read access of `file`, whose AppHeader fields are already in
// `report`. Adds problems and counts to `report` and names the roles of its
// tables.
void WalkApplicationData(DataFile& file, FileReport& report, const ProgressFunction& progress);

}  // namespace quillet
