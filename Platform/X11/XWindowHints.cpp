#include "Platform/X11/XWindowHints.hpp"

#include <xcb/xcb.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace vantrel::XWindowHints {

namespace {

// flags, functions, decorations, input mode, status.
using MotifHints = std::array<std::uint32_t, 5>;

std::optional<xcb_atom_t> motifAtom(xcb_connection_t* connection) {
  constexpr const char* name = "_MOTIF_WM_HINTS";
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  if (reply == nullptr) return std::nullopt;
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  return atom;
}

void writeMotifHints(xcb_connection_t* connection, std::uint32_t window, xcb_atom_t atom,
                     const MotifHints& hints) {
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom, atom, 32,
                      static_cast<std::uint32_t>(hints.size()), hints.data());
  xcb_flush(connection);
}

}  // namespace

void requestTitleOnlyFrame(xcb_connection_t* connection, std::uint32_t window) {
  if (connection == nullptr || window == 0) return;
  const auto atom = motifAtom(connection);
  if (!atom) return;
  writeMotifHints(connection, window, *atom,
                  MotifHints{motifFunctionsAndDecorations, motifFunctionMove,
                             motifDecorationBorder | motifDecorationTitle, 0, 0});
}

void requestNoUserResize(xcb_connection_t* connection, std::uint32_t window) {
  if (connection == nullptr || window == 0) return;
  const auto atom = motifAtom(connection);
  if (!atom) return;
  // What the window asks already (the toolkit writes it when it makes the window); a value of
  // another shape counts as nothing asked.
  MotifHints hints{};
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, window, *atom, *atom, 0, hints.size()), nullptr);
  if (reply != nullptr) {
    const int length = xcb_get_property_value_length(reply);
    if (reply->format == 32 && length >= 3 * 4 && length <= static_cast<int>(hints.size() * 4))
      std::memcpy(hints.data(), xcb_get_property_value(reply), static_cast<std::size_t>(length));
    std::free(reply);
  }
  constexpr std::uint32_t functionsGiven = 1U << 0, decorationsGiven = 1U << 1;
  // With the "all" bit set the values list what is taken away; otherwise what is offered.
  if ((hints[0] & functionsGiven) == 0) {
    hints[0] |= functionsGiven;
    hints[1] = motifFunctionAll | motifFunctionResize;
  } else if ((hints[1] & motifFunctionAll) != 0) {
    hints[1] |= motifFunctionResize;
  } else {
    hints[1] &= ~motifFunctionResize;
  }
  if ((hints[0] & decorationsGiven) != 0) {
    if ((hints[2] & motifDecorationAll) != 0) {
      hints[2] |= motifDecorationResizeHandle;
    } else {
      hints[2] &= ~motifDecorationResizeHandle;
    }
  }
  writeMotifHints(connection, window, *atom, hints);
}

namespace {

// One 8-bit colour component placed in the bits `mask` selects.
std::uint32_t component(std::uint32_t value, std::uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const int width = std::popcount(mask);
  const std::uint32_t scaled = width >= 8 ? value << (width - 8) : value >> (8 - width);
  return (scaled << shift) & mask;
}

// `rgb` as a pixel of the window's visual, opaque where the visual has alpha bits; nullopt for a
// visual that is not TrueColor.
std::optional<std::uint32_t> pixelOf(xcb_connection_t* connection, std::uint32_t window, std::uint32_t rgb) {
  xcb_get_window_attributes_reply_t* attributes =
      xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr);
  if (attributes == nullptr) return std::nullopt;
  const xcb_visualid_t visual = attributes->visual;
  std::free(attributes);
  for (auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection)); screens.rem > 0;
       xcb_screen_next(&screens)) {
    for (auto depths = xcb_screen_allowed_depths_iterator(screens.data); depths.rem > 0;
         xcb_depth_next(&depths)) {
      for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
           xcb_visualtype_next(&visuals)) {
        const xcb_visualtype_t& type = *visuals.data;
        if (type.visual_id != visual) continue;
        if (type._class != XCB_VISUAL_CLASS_TRUE_COLOR) return std::nullopt;
        const std::uint32_t colours = type.red_mask | type.green_mask | type.blue_mask;
        const int depth = depths.data->depth;
        const std::uint32_t all = depth >= 32 ? 0xFFFFFFFFU : (1U << depth) - 1U;
        return component((rgb >> 16) & 0xFF, type.red_mask) | component((rgb >> 8) & 0xFF, type.green_mask) |
               component(rgb & 0xFF, type.blue_mask) | (all & ~colours);
      }
    }
  }
  return std::nullopt;
}

}  // namespace

void keepPictureCentredOnResize(xcb_connection_t* connection, std::uint32_t window, bool centred,
                                std::uint32_t background) {
  if (connection == nullptr || window == 0) return;
  // Values go in the order of their mask bits: background pixmap or pixel, bit gravity, backing
  // store.
  if (!centred) {
    const std::array<std::uint32_t, 3> values{XCB_BACK_PIXMAP_NONE, XCB_GRAVITY_NORTH_WEST,
                                              XCB_BACKING_STORE_NOT_USEFUL};
    xcb_change_window_attributes(
        connection, window, XCB_CW_BACK_PIXMAP | XCB_CW_BIT_GRAVITY | XCB_CW_BACKING_STORE, values.data());
  } else if (const auto pixel = pixelOf(connection, window, background)) {
    const std::array<std::uint32_t, 3> values{*pixel, XCB_GRAVITY_CENTER, XCB_BACKING_STORE_WHEN_MAPPED};
    xcb_change_window_attributes(
        connection, window, XCB_CW_BACK_PIXEL | XCB_CW_BIT_GRAVITY | XCB_CW_BACKING_STORE, values.data());
  } else {
    const std::array<std::uint32_t, 2> values{XCB_GRAVITY_CENTER, XCB_BACKING_STORE_WHEN_MAPPED};
    xcb_change_window_attributes(connection, window, XCB_CW_BIT_GRAVITY | XCB_CW_BACKING_STORE,
                                 values.data());
  }
  xcb_flush(connection);
}

}  // namespace vantrel::XWindowHints
