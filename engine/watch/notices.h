// What the engine says about itself on the Log page, apart from the activity it logs:
// forwarding starting to fail and recovering, the service's folder, its pipe.
#pragma once

// A line "[h:m:s] text" at the end of the Log page's text; control characters in
// `text` (a peer's answer may be quoted) become '?'.
void PutLogLine(const char* text);
