#!/usr/bin/python3
"""A full-screen GTK 4 window that prints the input it receives, one line per event:

    ready                            the window covers the monitor
    motion X Y                       pointer position in the window (integers)
    button press|release N X Y       pointer button N (1 left, 2 middle, 3 right)
    key press|release KEYVAL HW      key name (Gdk.keyval_name) and hardware (X) key code
    scroll DX DY                     scroll deltas (one wheel notch is 1)
    focus in|out                     the window gained or lost keyboard focus

Commands on standard input, one per line:

    read                             prints "clipboard TEXT" (or "clipboard-error MESSAGE")
    set TEXT                         puts TEXT on the clipboard, then prints "clipboard-set"
    quit

Run it with GDK_BACKEND=wayland GSK_RENDERER=cairo.
"""
import sys

import gi

gi.require_version("Gdk", "4.0")
gi.require_version("Gtk", "4.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def say(*parts):
    print(" ".join(str(p) for p in parts), flush=True)


class Recorder:
    def __init__(self):
        self.loop = GLib.MainLoop()
        self.window = Gtk.Window(title="input-recorder")
        self.window.set_decorated(False)
        self.window.fullscreen()
        area = Gtk.DrawingArea()
        area.set_hexpand(True)
        area.set_vexpand(True)
        area.set_draw_func(self.draw)
        self.window.set_child(area)

        motion = Gtk.EventControllerMotion()
        motion.connect("motion", lambda _c, x, y: say("motion", round(x), round(y)))
        # The pointer's first position over the window arrives as an enter.
        motion.connect("enter", lambda _c, x, y: say("motion", round(x), round(y)))
        self.window.add_controller(motion)

        click = Gtk.GestureClick()
        click.set_button(0)
        click.connect("pressed", self.on_pressed)
        click.connect("released", self.on_released)
        self.window.add_controller(click)

        key = Gtk.EventControllerKey()
        key.connect("key-pressed", self.on_key, "press")
        key.connect("key-released", self.on_key, "release")
        self.window.add_controller(key)

        scroll = Gtk.EventControllerScroll()
        scroll.set_flags(Gtk.EventControllerScrollFlags.BOTH_AXES)
        scroll.connect("scroll", self.on_scroll)
        self.window.add_controller(scroll)

        focus = Gtk.EventControllerFocus()
        focus.connect("enter", lambda _c: say("focus", "in"))
        focus.connect("leave", lambda _c: say("focus", "out"))
        self.window.add_controller(focus)

        self.window.connect("close-request", lambda _w: self.loop.quit() or False)
        self.window.connect("map", lambda _w: GLib.timeout_add(50, self.announce))
        GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT,
                          GLib.IOCondition.IN | GLib.IOCondition.HUP, self.on_command)
        self.window.present()

    def draw(self, _area, cr, width, height):
        # Cells of many colours rather than a flat one, so that a picture of the screen shows
        # whether it is this window.
        cell = 40
        for y in range(0, height, cell):
            for x in range(0, width, cell):
                cx, cy = x // cell, y // cell
                cr.set_source_rgb(((cx * 37 + cy * 11) % 256) / 255, ((cx * 5 + cy * 53) % 256) / 255,
                                  ((cx * 97 + cy * 29 + 64) % 256) / 255)
                cr.rectangle(x, y, cell, cell)
                cr.fill()

    def announce(self):
        # Only a window that covers the whole monitor reports positions in monitor pixels.
        surface = self.window.get_surface()
        monitor = self.window.get_display().get_monitor_at_surface(surface) if surface else None
        if monitor is None or not self.window.is_fullscreen():
            return True
        geometry = monitor.get_geometry()
        if (self.window.get_width(), self.window.get_height()) != (geometry.width, geometry.height):
            return True
        say("ready")
        return False

    def on_pressed(self, gesture, _n, x, y):
        say("button", "press", gesture.get_current_button(), round(x), round(y))

    def on_released(self, gesture, _n, x, y):
        say("button", "release", gesture.get_current_button(), round(x), round(y))

    def on_key(self, _controller, keyval, keycode, _state, kind):
        say("key", kind, Gdk.keyval_name(keyval), keycode)
        return False

    def on_scroll(self, _controller, dx, dy):
        say("scroll", round(dx), round(dy))
        return True

    def on_command(self, channel, condition):
        if condition & GLib.IOCondition.HUP and not condition & GLib.IOCondition.IN:
            self.loop.quit()
            return False
        line = sys.stdin.readline()
        if not line:
            self.loop.quit()
            return False
        command, _, argument = line.rstrip("\n").partition(" ")
        clipboard = self.window.get_display().get_clipboard()
        if command == "read":
            clipboard.read_text_async(None, self.on_text)
        elif command == "set":
            clipboard.set(argument)
            say("clipboard-set")
        elif command == "quit":
            self.loop.quit()
            return False
        return True

    def on_text(self, clipboard, result):
        try:
            text = clipboard.read_text_finish(result)
            say("clipboard", text if text is not None else "")
        except GLib.Error as error:
            say("clipboard-error", error.message)


def main():
    recorder = Recorder()
    recorder.loop.run()


if __name__ == "__main__":
    main()
