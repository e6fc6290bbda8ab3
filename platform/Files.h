// Files read whole and replaced in one step, so that a crash or a failure never leaves one
// half-written. Paths are UTF-8 on every system.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantorix {

// A file that cannot be read or written; what() names the file and the system's reason.
class EFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Makes path hold exactly bytes, replacing the file there if any. The bytes go to a temporary
// file beside it (path + ".tmp"), are forced to the disk, and that file then takes path's place
// in one step (rename on POSIX; MoveFileExW with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH on Windows, where rename does not replace), so path holds either its
// old contents or all of the new ones, whenever the program or the machine stops.
//
// Failure: raises EFileError ("cannot create|write|replace PATH: reason"); path keeps its
// previous contents and the temporary file is removed. Threading: any thread, but no two callers
// may replace the same path at the same time.
void ReplaceFileContents(const std::string& path, std::span<const std::uint8_t> bytes);

// The whole contents of the file at path; nothing when there is no file there.
// Failure: raises EFileError when a file exists but cannot be read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path);

}  // namespace vantorix
