#pragma once
#include <string>

#include "db/database.h"

namespace tallysv {

// The bytes of a folder's eight files as a start would load them (the new
// files of a save whose renames were cut short included), changing
// nothing: every file is opened before any is read, so that a save
// renaming its files meanwhile cannot mix two generations unless it lands
// between those few opens. A file that cannot be opened is missing.
DatImages readDatImages(const std::string& directory);

}  // namespace tallysv
