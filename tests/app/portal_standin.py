#!/usr/bin/python3
"""A stand-in for the desktop portal's global shortcuts, on the test's private session bus.

usage: portal_standin.py LOG [--refuse] [--assign IDS] [--answer-first]

Owns org.freedesktop.portal.Desktop and answers CreateSession, ListShortcuts and BindShortcuts of
org.freedesktop.portal.GlobalShortcuts as a desktop does: each request is answered by a Response
signal from the request object named after the caller and its handle token, and the shortcuts a
program has bound are listed to its later sessions. Every call is appended to LOG as one JSON line.
--assign IDS (comma-separated) gives only those shortcuts their preferred key when they are bound;
the answer leaves the others out, as a desktop does that assigns nothing by itself. The test presses
a shortcut with org.trelvik.TestPortal.Activate(id), which emits Activated to every session for any
shortcut a program bound or asked to bind, and assigns a key later with
org.trelvik.TestPortal.Assign(id, trigger), which emits ShortcutsChanged. --answer-first sends each
Response before the method's reply, as a desktop may that answers at once: a caller hears the
answer before it learns the request's name. Runs with Debian's /usr/bin/python3 and python3-gi.
"""

import json
import sys

from gi.repository import Gio, GLib

NAME = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
INTERFACE = "org.freedesktop.portal.GlobalShortcuts"

XML = """
<node>
  <interface name="org.freedesktop.portal.GlobalShortcuts">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="BindShortcuts">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a(sa{sv})" name="shortcuts" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="request_handle" direction="out"/>
    </method>
    <method name="ListShortcuts">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="request_handle" direction="out"/>
    </method>
    <signal name="ShortcutsChanged">
      <arg type="o" name="session_handle"/>
      <arg type="a(sa{sv})" name="shortcuts"/>
    </signal>
    <signal name="Activated">
      <arg type="o" name="session_handle"/>
      <arg type="s" name="shortcut_id"/>
      <arg type="t" name="timestamp"/>
      <arg type="a{sv}" name="options"/>
    </signal>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.trelvik.TestPortal">
    <method name="Activate">
      <arg type="s" name="id" direction="in"/>
    </method>
    <method name="Assign">
      <arg type="s" name="id" direction="in"/>
      <arg type="s" name="trigger" direction="in"/>
    </method>
  </interface>
</node>
"""

SESSION_XML = """
<node>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
  </interface>
</node>
"""


class Portal:
    def __init__(self, log, refuse, assign, answer_first=False):
        self.log = log
        self.refuse = refuse
        self.answer_first = answer_first
        # The shortcuts that get their preferred key when bound; None: all of them.
        self.assign = assign
        # Every shortcut a program asked to bind.
        self.asked = set()
        self.connection = None
        # What every program has bound, kept for its later sessions: id -> properties.
        self.bound = {}
        # Open sessions: path -> the caller's unique name.
        self.sessions = {}
        self.session_info = Gio.DBusNodeInfo.new_for_xml(SESSION_XML).interfaces[0]

    def write(self, entry):
        with open(self.log, "a") as out:
            out.write(json.dumps(entry) + "\n")

    @staticmethod
    def element(sender):
        return sender.lstrip(":").replace(".", "_")

    def respond(self, sender, token, results, code=0):
        request = "%s/request/%s/%s" % (PATH, self.element(sender), token)

        def send():
            self.connection.emit_signal(sender, request, "org.freedesktop.portal.Request", "Response",
                                        GLib.Variant("(ua{sv})", (code, results)))
            return False

        if self.answer_first:
            send()
        else:
            # After the method's reply, as a desktop answers once the user has decided.
            GLib.idle_add(send)
        return request

    def listed_items(self):
        return [(key, {"description": GLib.Variant("s", value["description"]),
                       "trigger_description": GLib.Variant("s", value["trigger"])})
                for key, value in self.bound.items()]

    def listed(self):
        return GLib.Variant("a(sa{sv})", self.listed_items())

    def call(self, connection, sender, path, interface, method, parameters, invocation):
        args = parameters.unpack()
        if interface == "org.trelvik.TestPortal" and method == "Assign":
            self.write({"method": method, "id": args[0], "trigger": args[1]})
            self.bound[args[0]] = {"description": self.bound.get(args[0], {}).get("description", ""),
                                   "trigger": args[1]}
            for session, owner in self.sessions.items():
                connection.emit_signal(owner, PATH, INTERFACE, "ShortcutsChanged",
                                       GLib.Variant("(oa(sa{sv}))", (session, self.listed_items())))
            invocation.return_value(None)
            return
        if interface == "org.trelvik.TestPortal":
            self.write({"method": method, "id": args[0]})
            # Also a shortcut bound without a key: the program must not act on what it was not given.
            for session, owner in self.sessions.items():
                if args[0] in self.bound or args[0] in self.asked:
                    connection.emit_signal(owner, PATH, INTERFACE, "Activated",
                                           GLib.Variant("(osta{sv})", (session, args[0], 0, {})))
            invocation.return_value(None)
            return
        if method == "CreateSession":
            options = args[0]
            session = "%s/session/%s/%s" % (PATH, self.element(sender), options["session_handle_token"])
            connection.register_object(session, self.session_info, self.session_call, None, None)
            self.sessions[session] = sender
            self.write({"method": method, "session": session})
            handle = self.respond(sender, options["handle_token"], {"session_handle": GLib.Variant("s", session)})
        elif method == "ListShortcuts":
            session, options = args
            self.write({"method": method, "session": session, "listed": sorted(self.bound)})
            handle = self.respond(sender, options["handle_token"], {"shortcuts": self.listed()})
        elif method == "BindShortcuts":
            session, shortcuts, parent, options = args
            self.write({"method": method, "session": session, "parent": parent,
                        "shortcuts": [[key, props] for key, props in shortcuts]})
            if self.refuse:
                handle = self.respond(sender, options["handle_token"], {}, code=1)
                invocation.return_value(GLib.Variant("(o)", (handle,)))
                return
            for key, props in shortcuts:
                self.asked.add(key)
                if self.assign is None or key in self.assign:
                    self.bound[key] = {"description": props.get("description", ""),
                                       "trigger": props.get("preferred_trigger", "")}
            handle = self.respond(sender, options["handle_token"], {"shortcuts": self.listed()})
        else:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)
            return
        invocation.return_value(GLib.Variant("(o)", (handle,)))

    def session_call(self, connection, sender, path, interface, method, parameters, invocation):
        self.write({"method": "Session." + method, "session": path})
        self.sessions.pop(path, None)
        invocation.return_value(None)

    def get_property(self, connection, sender, path, interface, name):
        return GLib.Variant("u", 1) if name == "version" else None


def main():
    options = sys.argv[2:]
    assign = None
    if "--assign" in options:
        assign = set(filter(None, options[options.index("--assign") + 1].split(",")))
    portal = Portal(sys.argv[1], "--refuse" in options, assign, "--answer-first" in options)
    info = Gio.DBusNodeInfo.new_for_xml(XML)
    loop = GLib.MainLoop()

    def acquired(connection, name):
        portal.write({"method": "ready"})

    def bus_acquired(connection, name):
        portal.connection = connection
        for interface in info.interfaces:
            connection.register_object(PATH, interface, portal.call, portal.get_property, None)

    Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, bus_acquired, acquired,
                     lambda *_: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
