#include "Platform/XWindowHints.hpp"

#include <xcb/xcb.h>

#include <array>
#include <cstdlib>
#include <cstring>

namespace vantrel::XWindowHints {

void requestTitleOnlyFrame(xcb_connection_t* connection, std::uint32_t window) {
  if (connection == nullptr || window == 0) return;
  constexpr const char* name = "_MOTIF_WM_HINTS";
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  if (reply == nullptr) return;
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  // flags, functions, decorations, input mode, status.
  const std::array<std::uint32_t, 5> hints{motifFunctionsAndDecorations, motifFunctionMove,
                                           motifDecorationBorder | motifDecorationTitle, 0, 0};
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom, atom, 32,
                      static_cast<std::uint32_t>(hints.size()), hints.data());
  xcb_flush(connection);
}

}  // namespace vantrel::XWindowHints
