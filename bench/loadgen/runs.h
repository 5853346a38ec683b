#pragma once
// The kinds of run main chooses between by the measurements named.
#include "loadgen/loadgen.h"

namespace loadgen {

// Logins (or chat) against servers of every kind named, and the bare
// exchanges, measured in turns; prints their figures. The exit status.
int runLogins(const Options& options);

// "hashing": PasswordHashing off and on, side by side.
int runHashing(const Options& options);

// "hostile": what a zone that holds the zone password can do to the
// others, on the server binary and the compared one, side by side.
int runHostile(const Options& options);

}  // namespace loadgen
