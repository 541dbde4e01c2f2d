#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A stand-in for a desktop's tray, on the test's private session bus.

usage: tray_standin.py LOG

Owns org.kde.StatusNotifierWatcher and says a tray host is there (IsStatusNotifierHostRegistered),
as KDE Plasma's tray does. Every RegisterStatusNotifierItem call is appended to LOG as one JSON line
with the caller's bus name and the item it registers; "ready" once the name is owned. The test reads
the item's properties itself. Runs with Debian's /usr/bin/python3 and python3-gi.
"""

import json
import sys

from gi.repository import Gio, GLib

NAME = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
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


def main():
    log_path = sys.argv[1]
    items = []

    def write(entry):
        with open(log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(entry) + "\n")

    def call(connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterStatusNotifierItem":
            service = parameters.unpack()[0]
            items.append(service)
            write({"method": method, "sender": sender, "service": service})
            connection.emit_signal(None, PATH, NAME, "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (service,)))
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
