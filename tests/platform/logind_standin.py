#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Stand-ins for what keeps the computer awake: logind on the system bus, or the desktop portal.

usage: logind_standin.py LOG [--hang]
       logind_standin.py LOG --portal [--refuse]

Without --portal it owns org.freedesktop.login1 on the system bus (DBUS_SYSTEM_BUS_ADDRESS) and
answers org.freedesktop.login1.Manager.Inhibit as logind does: with a file descriptor that holds
the inhibitor while any copy of it is open. The descriptor is the read end of a pipe whose write end
the stand-in keeps and watches: when the program has closed every copy, the write end reports a
hang-up and the stand-in logs "released". --hang takes Inhibit calls and never answers them.
The test has the machine go to sleep and wake with org.trelvik.TestLogind.Sleep(before), which
emits PrepareForSleep(before), and org.trelvik.TestLogind.Sync() answers once every message the
caller sent before it has been handled.

With --portal it owns org.freedesktop.portal.Desktop on the session bus instead and answers
org.freedesktop.portal.Inhibit.Inhibit with a request object that ends the inhibition when it is
closed (org.freedesktop.portal.Request.Close). --refuse returns the request and then reports a
failure on it with Response(2), as a desktop does whose backend cannot inhibit.

Every call is appended to LOG as one JSON line; "ready" once the name is owned. Runs with Debian's
/usr/bin/python3 and python3-gi.
"""

import json
import os
import sys

from gi.repository import Gio, GLib

LOGIND_XML = """
<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg type="s" name="what" direction="in"/>
      <arg type="s" name="who" direction="in"/>
      <arg type="s" name="why" direction="in"/>
      <arg type="s" name="mode" direction="in"/>
      <arg type="h" name="pipe_fd" direction="out"/>
    </method>
    <signal name="PrepareForSleep">
      <arg type="b" name="start"/>
    </signal>
  </interface>
  <interface name="org.trelvik.TestLogind">
    <method name="Sleep">
      <arg type="b" name="before" direction="in"/>
    </method>
    <method name="Sync"/>
  </interface>
</node>
"""

PORTAL_XML = """
<node>
  <interface name="org.freedesktop.portal.Inhibit">
    <method name="Inhibit">
      <arg type="s" name="window" direction="in"/>
      <arg type="u" name="flags" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <property name="version" type="u" access="read"/>
  </interface>
</node>
"""

REQUEST_XML = """
<node>
  <interface name="org.freedesktop.portal.Request">
    <method name="Close"/>
  </interface>
</node>
"""

LOGIND_PATH = "/org/freedesktop/login1"
PORTAL_PATH = "/org/freedesktop/portal/desktop"


class Log:
    def __init__(self, path):
        self.path = path

    def write(self, entry):
        with open(self.path, "a") as out:
            out.write(json.dumps(entry) + "\n")


class Logind:
    def __init__(self, log, hang):
        self.log = log
        self.hang = hang
        # Calls left unanswered: kept so that they stay pending until the stand-in ends.
        self.unanswered = []

    def call(self, connection, sender, path, interface, method, parameters, invocation):
        args = parameters.unpack()
        if interface == "org.trelvik.TestLogind" and method == "Sleep":
            self.log.write({"method": "Sleep", "before": args[0]})
            connection.emit_signal(None, LOGIND_PATH, "org.freedesktop.login1.Manager", "PrepareForSleep",
                                   GLib.Variant("(b)", (args[0],)))
            invocation.return_value(None)
            return
        if interface == "org.trelvik.TestLogind" and method == "Sync":
            invocation.return_value(None)
            return
        if method != "Inhibit":
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)
            return
        what, who, why, mode = args
        self.log.write({"method": "Inhibit", "what": what, "who": who, "why": why, "mode": mode})
        if self.hang:
            self.unanswered.append(invocation)
            return
        read_end, write_end = os.pipe()
        fds = Gio.UnixFDList.new()
        fds.append(read_end)
        # The list holds its own copy: from now on only the program's copies keep the pipe open.
        os.close(read_end)

        def hung_up(fd, condition):
            os.close(fd)
            self.log.write({"method": "released", "why": why})
            return False

        GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, write_end, GLib.IOCondition.HUP | GLib.IOCondition.ERR,
                              hung_up)
        invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)


class Portal:
    def __init__(self, log, refuse):
        self.log = log
        self.refuse = refuse
        self.request_info = Gio.DBusNodeInfo.new_for_xml(REQUEST_XML).interfaces[0]
        self.requests = {}

    def call(self, connection, sender, path, interface, method, parameters, invocation):
        if method != "Inhibit":
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)
            return
        window, flags, options = parameters.unpack()
        token = options.get("handle_token", "t%d" % (len(self.requests) + 1))
        handle = "%s/request/%s/%s" % (PORTAL_PATH, sender.lstrip(":").replace(".", "_"), token)
        self.log.write({"method": "Inhibit", "window": window, "flags": flags,
                        "reason": options.get("reason", ""), "handle": handle})
        self.requests[handle] = connection.register_object(handle, self.request_info, self.request_call, None, None)
        invocation.return_value(GLib.Variant("(o)", (handle,)))
        if self.refuse:
            def respond():
                connection.emit_signal(sender, handle, "org.freedesktop.portal.Request", "Response",
                                       GLib.Variant("(ua{sv})", (2, {})))
                connection.unregister_object(self.requests.pop(handle))
                return False

            GLib.idle_add(respond)

    def request_call(self, connection, sender, path, interface, method, parameters, invocation):
        self.log.write({"method": "Request." + method, "handle": path})
        if path in self.requests:
            connection.unregister_object(self.requests.pop(path))
        invocation.return_value(None)

    def get_property(self, connection, sender, path, interface, name):
        return GLib.Variant("u", 3) if name == "version" else None


def main():
    log = Log(sys.argv[1])
    options = sys.argv[2:]
    if "--portal" in options:
        service, bus, path, xml = "org.freedesktop.portal.Desktop", Gio.BusType.SESSION, PORTAL_PATH, PORTAL_XML
        handler = Portal(log, "--refuse" in options)
        get_property = handler.get_property
    else:
        service, bus, path, xml = "org.freedesktop.login1", Gio.BusType.SYSTEM, LOGIND_PATH, LOGIND_XML
        handler = Logind(log, "--hang" in options)
        get_property = None
    info = Gio.DBusNodeInfo.new_for_xml(xml)
    loop = GLib.MainLoop()

    def bus_acquired(connection, name):
        for interface in info.interfaces:
            connection.register_object(path, interface, handler.call, get_property, None)

    Gio.bus_own_name(bus, service, Gio.BusNameOwnerFlags.NONE, bus_acquired,
                     lambda *_: log.write({"method": "ready"}), lambda *_: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
