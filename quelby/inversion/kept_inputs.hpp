// The inputs a run keeps in its output folder beside its results, so that the folder holds what
// its report needs and what runs it again: the forward mesh, the data as the run used them (with
// their standard deviations), the topography file, the import log of the data and the control file.
#pragma once

#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/inversion/control_file.hpp"

namespace quelby {

inline constexpr const char* kept_mesh_name = "mesh.msh";
inline constexpr const char* observed_data_name = "observed.dat";
inline constexpr const char* observed_ip_data_name = "observed_ip.dat";
inline constexpr const char* kept_topography_name = "topography.topo";
inline constexpr const char* kept_import_log_name = "import.log";
inline constexpr const char* kept_control_name = "control.inv";
inline constexpr const char* kept_inputs_folder = "inputs";
inline constexpr const char* rerun_control_name = "rerun.inv";

// True when `source` and folder/name are one file (or `source` is empty or missing): nothing to
// copy then.
bool is_kept_already(const std::string& source, const std::string& folder, const std::string& name);

// Copies the file `source` to folder/name through an atomic output, unless it is that file
// already. A copy that fails writes "Error: cannot write the copy of the input ..." and throws
// Stop; a source that cannot be read is left out without a word (the run has read it already, or
// it is an optional file). Linear in the file.
void keep_file_copy(const Io& io, const std::string& source, const std::string& folder,
                    const std::string& name);

// Makes a folder that runs again from itself out of a control file's other inputs: copies every
// file of `inputs` (as read_control_file records them) but those the folder keeps under names of
// its own (the mesh, the data and the topography lines) into folder/inputs/, and writes
// folder/rerun.inv: the text of the control file `control` with each such name replaced by
// "inputs/<its copy>". A copy keeps its file's own name, with "2-", "3-", ... before it when
// another file has taken that name; a file named twice is copied once. Nothing is written when the
// control file names no other input, or when its text no longer holds a name where it was read
// (the file changed during the run). A copy or rerun.inv that fails to write stops as
// keep_file_copy does. Linear in the files.
void keep_control_inputs(const Io& io, const std::string& control,
                         const std::vector<ControlInputName>& inputs, const std::string& folder);

// The import log beside the data file `data_file` ("<its folder>/import.log"), or "" when there is
// none.
std::string import_log_beside(const std::string& data_file);

}  // namespace quelby
