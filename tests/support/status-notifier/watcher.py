#!/usr/bin/env python3
"""A stand-in for a desktop's tray host on the session bus (what KDE Plasma and GNOME's
AppIndicator extension run): it owns org.kde.StatusNotifierWatcher, reports a host as
registered, and for each item that registers prints

    registered <service> <path>
    menu: <label>          (one line per item of the item's menu; "menu: ---" for a separator)
    menu end

reading the menu through the item's Menu property and com.canonical.dbusmenu's GetLayout.
It prints "watching" once it owns the name, and runs until it is stopped."""

import sys

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
INTERFACE = Gio.DBusNodeInfo.new_for_xml(
    """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
</interface></node>"""
).interfaces[0]

items = []


def say(line):
    print(line, flush=True)


def read_menu(connection, service, path):
    try:
        reply = connection.call_sync(
            service, path, "org.freedesktop.DBus.Properties", "Get",
            GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")),
            GLib.VariantType("(v)"), Gio.DBusCallFlags.NONE, 5000, None)
        menu = reply.unpack()[0]
        layout = connection.call_sync(
            service, menu, "com.canonical.dbusmenu", "GetLayout",
            GLib.Variant("(iias)", (0, -1, [])),
            GLib.VariantType("(u(ia{sv}av))"), Gio.DBusCallFlags.NONE, 5000, None)
        _, (_, _, children) = layout.unpack()
        for _, properties, _ in children:
            if properties.get("type") == "separator":
                say("menu: ---")
            else:
                say("menu: " + properties.get("label", ""))
        say("menu end")
    except GLib.Error as error:
        say("menu error: " + error.message)
    return False


def on_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        argument = parameters.unpack()[0]
        # An item names its bus name (its path is then the usual one) or its object path.
        if argument.startswith("/"):
            service, item = sender, argument
        else:
            service, item = argument, "/StatusNotifierItem"
        items.append(service + item)
        invocation.return_value(None)
        say("registered %s %s" % (service, item))
        connection.emit_signal(None, "/StatusNotifierWatcher", WATCHER, "StatusNotifierItemRegistered",
                               GLib.Variant("(s)", (service + item,)))
        GLib.idle_add(read_menu, connection, service, item)
    elif method == "RegisterStatusNotifierHost":
        invocation.return_value(None)
    else:
        invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)


def on_get(connection, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    if name == "ProtocolVersion":
        return GLib.Variant("i", 0)
    return None


def on_bus(connection, name):
    connection.register_object("/StatusNotifierWatcher", INTERFACE, on_call, on_get, None)


def main():
    loop = GLib.MainLoop()
    Gio.bus_own_name(Gio.BusType.SESSION, WATCHER, Gio.BusNameOwnerFlags.NONE, on_bus,
                     lambda connection, name: say("watching"),
                     lambda connection, name: (say("name lost"), loop.quit()))
    loop.run()
    return 1


if __name__ == "__main__":
    sys.exit(main())
