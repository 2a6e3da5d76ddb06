#pragma once

// What the X server shows, asked over a connection of the test's own (Xlib's headers stay out of
// here: their macros clash with the project's and Qt's).

#include <string>
#include <vector>

struct _XDisplay;

namespace vantrel::testing {

// The mapped top-level windows titled `title` (_NET_WM_NAME, UTF-8), as X window ids.
std::vector<unsigned long> windowsTitled(_XDisplay* display, const std::string& title);

}  // namespace vantrel::testing
