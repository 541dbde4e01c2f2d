#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A stand-in for the desktop's notification service, on the test's private session bus.

usage: notifications_standin.py LOG [--hang]

Owns org.freedesktop.Notifications and answers Notify with a new notification id, as a desktop's
notification service does. --hang takes Notify calls and never answers them. Every call is
appended to LOG as one JSON line with all its arguments, the hints as plain values; "ready" once the
name is owned. Runs with Debian's /usr/bin/python3 and python3-gi.
"""

import json
import sys

from gi.repository import Gio, GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"

XML = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" name="app_name" direction="in"/>
      <arg type="u" name="replaces_id" direction="in"/>
      <arg type="s" name="app_icon" direction="in"/>
      <arg type="s" name="summary" direction="in"/>
      <arg type="s" name="body" direction="in"/>
      <arg type="as" name="actions" direction="in"/>
      <arg type="a{sv}" name="hints" direction="in"/>
      <arg type="i" name="expire_timeout" direction="in"/>
      <arg type="u" name="id" direction="out"/>
    </method>
    <method name="GetServerInformation">
      <arg type="s" name="name" direction="out"/>
      <arg type="s" name="vendor" direction="out"/>
      <arg type="s" name="version" direction="out"/>
      <arg type="s" name="spec_version" direction="out"/>
    </method>
  </interface>
</node>
"""


def main():
    path = sys.argv[1]
    hang = "--hang" in sys.argv[2:]
    # Calls left unanswered: kept so that they stay pending until the stand-in ends.
    unanswered = []
    shown = [0]

    def write(entry):
        with open(path, "a") as out:
            # Hints may carry bytes (an image): logged as their text.
            out.write(json.dumps(entry, default=repr) + "\n")

    def call(connection, sender, object_path, interface, method, parameters, invocation):
        if method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("standin", "Trelvik tests", "1", "1.2")))
            return
        app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout = parameters.unpack()
        write({"method": "Notify", "app_name": app_name, "replaces_id": replaces_id, "app_icon": app_icon,
               "summary": summary, "body": body, "actions": actions, "hints": hints,
               "expire_timeout": expire_timeout})
        if hang:
            unanswered.append(invocation)
            return
        shown[0] += 1
        invocation.return_value(GLib.Variant("(u)", (shown[0],)))

    info = Gio.DBusNodeInfo.new_for_xml(XML)
    loop = GLib.MainLoop()

    def bus_acquired(connection, name):
        connection.register_object(PATH, info.interfaces[0], call, None, None)

    Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, bus_acquired,
                     lambda *_: write({"method": "ready"}), lambda *_: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
