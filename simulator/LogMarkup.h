// Rendering of the plug-in's log lines, which carry the HTML markup of the
// host's log window, as terminal text.
#pragma once

#include <string>

// `<br>` (also `<br/>`, `<br />`) becomes a line break, `<b>` and `</b>` become
// the terminal's bold on and off when `bold` is true and vanish otherwise,
// every other tag is dropped, and the entities &lt; &gt; &amp; &quot; &nbsp;
// are decoded.  A '<' that opens no tag (no closing '>') is kept as text.
std::string renderLogMarkup(const std::string& html, bool bold);
