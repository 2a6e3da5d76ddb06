#!/usr/bin/python3
"""A test scene for the Wayland screen tests: a full-screen GTK 4 window (Wayland, cairo) painting
a known pattern of cells, which the tests compare the captured picture with.

    scene.py WIDTH HEIGHT

Prints "ready" once it has drawn itself at WIDTH x HEIGHT. Reads commands from standard input,
one a line:
    fill X Y W H R G B   paint the rectangle in that colour (kept until "reset")
    reset                back to the pattern alone
    quit                 end
and prints "drawn N" after drawing the N-th command's result. Ends when standard input closes.

The pattern (cells of CELL pixels) must stay the same as the tests' copy of it (WaylandSceneKit).
"""
import os
import sys

os.environ["GDK_BACKEND"] = "wayland"
os.environ["GSK_RENDERER"] = "cairo"

import gi  # noqa: E402

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402

CELL = 40


def cell_color(cx, cy):
    return ((cx * 37 + cy * 11) % 256, (cx * 5 + cy * 53) % 256, (cx * 97 + cy * 29 + 64) % 256)


class Scene:
    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.fills = []
        self.commands = 0
        self.drawn = 0
        self.ready = False
        self.app = Gtk.Application(application_id=None)
        self.app.connect("activate", self.activate)

    def activate(self, app):
        window = Gtk.ApplicationWindow(application=app)
        window.set_decorated(False)
        area = Gtk.DrawingArea()
        area.set_draw_func(self.draw)
        window.set_child(area)
        self.area = area
        window.fullscreen()
        window.present()
        channel = GLib.IOChannel.unix_new(0)
        GLib.io_add_watch(channel, GLib.PRIORITY_DEFAULT, GLib.IOCondition.IN | GLib.IOCondition.HUP, self.command)

    def draw(self, area, cr, width, height):
        for cy in range((height + CELL - 1) // CELL):
            for cx in range((width + CELL - 1) // CELL):
                r, g, b = cell_color(cx, cy)
                cr.set_source_rgb(r / 255, g / 255, b / 255)
                cr.rectangle(cx * CELL, cy * CELL, CELL, CELL)
                cr.fill()
        for x, y, w, h, r, g, b in self.fills:
            cr.set_source_rgb(r / 255, g / 255, b / 255)
            cr.rectangle(x, y, w, h)
            cr.fill()
        if width == self.width and height == self.height:
            if not self.ready:
                self.ready = True
                print("ready", flush=True)
            if self.drawn < self.commands:
                self.drawn = self.commands
                print(f"drawn {self.drawn}", flush=True)

    def command(self, channel, condition):
        line = sys.stdin.readline()
        if not line:
            self.app.quit()
            return False
        words = line.split()
        if not words:
            return True
        if words[0] == "fill" and len(words) == 8:
            self.fills.append(tuple(int(w) for w in words[1:]))
        elif words[0] == "reset":
            self.fills.clear()
        elif words[0] == "quit":
            self.app.quit()
            return False
        else:
            print(f"unknown command: {line.strip()}", file=sys.stderr, flush=True)
            return True
        self.commands += 1
        self.area.queue_draw()
        return True


if __name__ == "__main__":
    Scene(int(sys.argv[1]), int(sys.argv[2])).app.run([])
