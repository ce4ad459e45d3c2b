// Texts of the original server that stay as they were, odd as they read,
// on purpose: the people who read the log (and the scripts they wrote)
// look for them. Do not "fix" their wording, case or line breaks.
#pragma once

namespace old_text {

// The event of a failed wait; its subject is FAILED_WAIT_SUBJECT, line
// break and all, so the log line is followed by an empty line.
constexpr const char* FAILED_WAIT = "SOCKET ERROR in SWITCH_wait";
constexpr const char* FAILED_WAIT_SUBJECT = "select\n";
// Said with perror when a listening socket reports an exceptional
// condition: standard error gets the text, then a line that starts with
// ": " and the system's reason.
constexpr const char* LISTENER_EXCEPTION = "TELNET socket exception\n";
// The reason a session holding too much unread input is closed with:
// "disconnected (RX buffer overflow!" then a line break and "): PEER".
constexpr const char* INPUT_OVERFLOW = "RX buffer overflow!\n";

} // namespace old_text
