// Stands in for ShellExecute with the "open" verb.
//
// - A web or mail address (http:, https:, mailto:) is handed to the desktop's
//   opener, xdg-open (or the command named by $TAVREL_URL_OPENER, which tests
//   use), as its only argument.
// - Anything else names a program file; it is started directly with
//   posix_spawn (no shell, so nothing in the text is interpreted), with the
//   parameter text as its one argument when it is not empty. A name without
//   '/' is looked up in PATH.
// The call does not wait for the started process; it is reaped in the
// background. Returns whether it could be started.
#pragma once

#include <string>
#include <string_view>

namespace plat {

bool is_web_or_mail_address(std::string_view text);

bool shell_open(std::string_view target, std::string_view parameters = {});

} // namespace plat
