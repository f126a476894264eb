// The freedesktop thumbnailers registered on this system. Running them is thumbtool's job (in a
// sandbox); this only reads their registrations.
#pragma once

#include <string>
#include <vector>

#include "../Modules.hpp"

namespace thumbtool {

// The *.thumbnailer entries (user data folder first, then the system ones; a file name seen
// earlier hides the same name later; TryExec must be found on PATH) for the MIME type: exact
// matches first, then those for a parent type. %i is the source path, %u its file URI, %o the
// output path, %s the size, %% a percent sign; unknown field codes are dropped.
std::vector<ThumbnailerCommand> thumbnailerCommands(const std::string& mimeType,
                                                    const std::string& source,
                                                    const std::string& output, int size);

}  // namespace thumbtool
