#pragma once
// Record names: shortened to fit a file name, and made unique across the
// collection so that no two records with other content share a file.

#include <cstddef>
#include <string>

#include "generator/features.h"

// Record names become shape and file names, and records of one kind with
// one name share one file when the scene is saved. Names joined from an id
// and a counter can meet ("line_way_1" + "23", "line_way_12" + "3"): a record
// whose name an earlier record with other content holds is renamed with a
// "~2", "~3", ... suffix, so no geometry is lost. A record repeated exactly
// (one way in two overlapping extracts) keeps its name and merges as before.
// Each record costs the same however many share its name.
void make_names_unique(city_features& features);

// Record names longer than this are shortened by fit_record_name, so that
// every file named after a record ("<name>~<n>_roof.ply" the longest) fits
// the 255 bytes a file system allows a name.
constexpr size_t max_record_name = 200;
// Names up to max_record_name bytes unchanged; longer ones keep their head
// (cut between UTF-8 characters) and end in "-" and sixteen hex digits of a
// stable hash of the whole name, max_record_name bytes or fewer in all.
std::string fit_record_name(std::string name);
