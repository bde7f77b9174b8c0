#pragma once

#include <string>

// A name or a text as a message shows it: its control characters (C0, DEL, C1, and the line and
// paragraph separators) escaped as "\n", "\t", "\r" or "\xNN" / "\uNNNN", so that no name can
// start a line of its own in a terminal, a log or the journal, nor forge its priority there.
// Bytes that are not UTF-8 are escaped as "\xNN" too.
std::string printable(const std::string &utf8);
