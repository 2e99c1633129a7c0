#pragma once
// The compute node state store: one JSON record per machine, at
// $XDG_STATE_HOME/tarvo/compute.json (default ~/.local/state/tarvo/compute.json).
// Writes are atomic (temporary file, fsync, rename) with mode 0600; key order and
// unknown keys are kept as they are.
#include <filesystem>
#include <optional>

#include <nlohmann/json.hpp>

namespace tarvo::compute::state {

using Record = nlohmann::ordered_json;

std::filesystem::path state_file_path();

// The stored record, or nothing when none is stored. A file that is not JSON, not
// an object, nested too deeply or too large is an error naming the file, the fault
// and the way out; the file is left alone.
std::optional<Record> load();
// Replaces the stored record. Temporary files left by saves that were killed are
// removed first.
void save(const Record& record);
// Removes the stored record; nothing stored is not an error.
void delete_();

}  // namespace tarvo::compute::state
