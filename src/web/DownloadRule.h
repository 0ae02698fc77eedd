// What a download is saved as: the name proposed in the Save dialog, the temporary file
// that takes the data until it is complete, and what the window says about it.
#pragma once

#include <string>
#include <string_view>

namespace mirovan {

// The server's suggested file name made safe to propose: its last path component, without
// control characters or leading dots (no hidden files), at most 255 bytes of whole
// characters; "download" when nothing is left.
std::string proposedName(std::string_view suggested);

// A g_mkstemp template for the hidden file beside `target` that receives the data: in the
// same folder, so that the last step is an atomic rename.
std::string partTemplate(const std::string& target);

// Whether a Content-Disposition header's value asks for the response to be saved rather
// than shown.
bool isAttachment(std::string_view contentDisposition);

std::string savedMessage(const std::string& name);
std::string failedMessage(const std::string& name);

}  // namespace mirovan
