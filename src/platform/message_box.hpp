// A small error dialog: a caption, a text and one OK button.
#pragma once

#include <string_view>

namespace qv::platform {

enum class MessageBoxResult {
  Dismissed,               // the dialog was shown and the user closed it
  WrittenToStandardError,  // no dialog could be shown; the text went to standard error
};

// Shows `text` (UTF-8; line breaks kept, long lines wrapped) in a dialog
// titled `caption`, with an error sign and an OK button, and returns once the
// user dismisses it: OK, Enter, Space, Escape, or closing the dialog.
//
// Where no dialog can be shown (no display, or the display lost before the
// user saw it), writes `caption`, ": ", `text` and a line break to standard
// error instead; a closed or missing standard error, or one whose reader has
// gone, is passed over silently (the process is not ended by SIGPIPE). Any
// thread; blocks it.
MessageBoxResult show_message_box(std::string_view caption, std::string_view text);

// Writes `bytes` to standard error as they are; a closed or missing standard
// error, or one whose reader has gone, is passed over silently (no SIGPIPE).
// Any thread.
void write_standard_error(std::string_view bytes);

}  // namespace qv::platform
