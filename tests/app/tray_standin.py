#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A stand-in for a desktop's tray, on the test's private session bus.

usage: tray_standin.py LOG

Owns org.kde.StatusNotifierWatcher and says a tray host is there (IsStatusNotifierHostRegistered),
as KDE Plasma's tray does. Every RegisterStatusNotifierItem call is appended to LOG as one JSON line
with the caller's bus name and the item it registers; "ready" once the name is owned.

Like a tray host, it reads what to show from the item itself: once when the item registers, and
again only when the item says its icon or status changed (NewIcon, NewAttentionIcon, NewStatus), so
an icon changed without the signal is never seen, as in a real tray. Each reading is one "icon" line:
the signal that caused it, the Status, the IconName (a named icon is what a host shows instead of
the pictures) and the largest of the IconPixmap pictures, summed up as its size, how many of its
pixels are not fully transparent, and their mean red, green and blue weighted by opacity (0 to 255).
The test reads the tooltip and menu itself. Runs with Debian's /usr/bin/python3 and python3-gi.
"""

import json
import sys

from gi.repository import Gio, GLib

NAME = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
ITEM_PATH = "/StatusNotifierItem"
XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem">
      <arg type="s" name="service" direction="in"/>
    </method>
    <method name="RegisterStatusNotifierHost">
      <arg type="s" name="service" direction="in"/>
    </method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered">
      <arg type="s"/>
    </signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


def picture(pixmaps):
    """Sums up the largest picture of an IconPixmap value: a(iiay), each pixel ARGB32 in network
    byte order."""
    if not pixmaps:
        return None
    width, height, data = max(pixmaps, key=lambda p: p[0] * p[1])
    data = bytes(data)
    if width <= 0 or height <= 0 or len(data) != width * height * 4:
        return {"width": width, "height": height, "bytes": len(data), "broken": True}
    weight = red = green = blue = 0
    covered = 0
    for at in range(0, len(data), 4):
        alpha = data[at]
        if alpha == 0:
            continue
        covered += 1
        weight += alpha
        red += alpha * data[at + 1]
        green += alpha * data[at + 2]
        blue += alpha * data[at + 3]
    mean = (lambda total: round(total / weight)) if weight else (lambda total: 0)
    return {"width": width, "height": height, "covered": covered,
            "red": mean(red), "green": mean(green), "blue": mean(blue)}


def main():
    log_path = sys.argv[1]
    items = []

    def write(entry):
        with open(log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(entry) + "\n")

    def read_item(connection, owner, path, cause):
        def got(source, result):
            try:
                properties = source.call_finish(result).unpack()[0]
            except GLib.Error as error:
                write({"method": "icon", "cause": cause, "error": error.message})
                return
            write({"method": "icon", "cause": cause, "item": owner,
                   "status": properties.get("Status"),
                   "icon_name": properties.get("IconName", ""),
                   "pixmap": picture(properties.get("IconPixmap", []))})

        connection.call(owner, path, "org.freedesktop.DBus.Properties", "GetAll",
                        GLib.Variant("(s)", (ITEM_INTERFACE,)), GLib.VariantType.new("(a{sv})"),
                        Gio.DBusCallFlags.NONE, 5000, None, got)

    def watch_item(connection, owner, path):
        def changed(connection, sender, object_path, interface, signal, parameters):
            read_item(connection, owner, path, signal)

        for signal in ("NewIcon", "NewAttentionIcon", "NewStatus"):
            connection.signal_subscribe(owner, ITEM_INTERFACE, signal, path, None,
                                        Gio.DBusSignalFlags.NONE, changed)
        read_item(connection, owner, path, "registered")

    def call(connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterStatusNotifierItem":
            service = parameters.unpack()[0]
            items.append(service)
            write({"method": method, "sender": sender, "service": service})
            connection.emit_signal(None, PATH, NAME, "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (service,)))
            # The item is named either by a bus name (at the usual path) or by a path on the
            # caller's connection.
            if service.startswith("/"):
                watch_item(connection, sender, service)
            else:
                watch_item(connection, sender, ITEM_PATH)
        invocation.return_value(None)

    def get(connection, sender, path, interface, prop):
        if prop == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", items)
        if prop == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        return GLib.Variant("i", 0)

    def acquired(connection, name):
        info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
        connection.register_object(PATH, info, call, get, None)

    loop = GLib.MainLoop()
    Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, acquired,
                     lambda *_: write({"method": "ready"}), lambda *_: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
