#!/usr/bin/python3
"""Reads and drives the program's windows over the accessibility bus, as a screen reader does.

usage: a11y.py [--window TITLE] [--app NAME] [--timeout SECONDS] COMMAND [ROLE NAME] [ARGUMENTS]

A control is named by its role as screen readers call it ("push button", "scroll bar", "label",
"menu item", "text", "list", ...) and its accessible name; a name starting with "~" is a regular
expression that must match the whole name. --window limits the search to the top-level window
with that exact title, --app to the application with that name. Every command waits up to
--timeout seconds (10 by default) for the control to exist; a query the program does not answer
counts as "not there yet", so a busy program is waited for, not reported as broken.

commands:
  wait ROLE NAME [--enabled | --disabled] [--showing] [--focused] [--text TEXT] [--value N]
                              until the control exists and meets every condition given; a
                              TEXT starting with "~" is a pattern, as a name is
  gone ROLE NAME              until no showing control has that role and name
  text ROLE NAME              print its text (the name where it has no text)
  description ROLE NAME       print its description
  children ROLE NAME          print its children, one a line: role, a tab, name
  announced ROLE NAME [--count N]
                              until the control has announced N changes of its name, as a screen
                              reader hears them (object:property-change:accessible-name), printing
                              each new name; the control is followed, not its first name
  value ROLE NAME             print its current value
  where ROLE NAME             print the screen position of its centre, "X Y", for a pointer to click
  press ROLE NAME [--no-wait] perform its press action (a menu title: show its menu); --no-wait
                              sends the request and returns at once, for handlers that open a
                              modal dialog and answer only when it closes
  focus ROLE NAME             give it the keyboard focus
  set-value ROLE NAME N       set its value
  set-text ROLE NAME TEXT     replace the text of an editable control
  move ROLE NAME up|down [N]  perform its Increase or Decrease action N times (1 by default)
  ping ROLE NAME [--max S]    time one uncached query of the control and print the seconds; with
                              --max, fail when the answer takes longer or never comes
  dump                        print the tree of every application, for writing tests

Exit status: 0 done, 1 condition not met in time or action refused, 2 usage.
Runs with Debian's /usr/bin/python3 and python3-pyatspi.
"""

import argparse
import os
import re
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, Gio, GLib  # noqa: E402

import pyatspi  # noqa: E402

# A frozen program must turn into a failed query, not a hung test: no single call waits longer.
CALL_TIMEOUT_MS = 2000
POLL_SECONDS = 0.05


class Failure(Exception):
    pass


def role_key(role):
    return re.sub(r"[\s_-]+", " ", role.strip().lower())


def matcher(wanted):
    """Whether a text is the one given: the same, or for "~PATTERN" the whole of it matches."""
    if wanted.startswith("~"):
        pattern = re.compile(wanted[1:])
        return lambda text: pattern.fullmatch(text) is not None
    return lambda text: text == wanted


class Finder:
    def __init__(self, window, app, timeout):
        self.window = window
        self.app = app
        # A wait shorter than one call's timeout must not be outlasted by a single call.
        call = max(1, min(CALL_TIMEOUT_MS, int(timeout * 1000)))
        Atspi.set_timeout(call, call)

    def pump(self):
        # Lets the library see applications and windows come and go between two looks.
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)

    def applications(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            app = desktop.getChildAtIndex(index)
            if app is None:
                continue
            # Every read goes to the program: a cached answer would hide a frozen window.
            app.set_cache_mask(Atspi.Cache.NONE)
            if self.app is None or app.name == self.app:
                yield app

    def windows(self):
        for app in self.applications():
            for index in range(app.childCount):
                top = app.getChildAtIndex(index)
                if top is not None and (self.window is None or top.name == self.window):
                    yield top

    @staticmethod
    def walk(node):
        yield node
        for index in range(node.childCount):
            child = node.getChildAtIndex(index)
            if child is not None:
                yield from Finder.walk(child)

    def find_all(self, role, name):
        wanted_role = role_key(role)
        matches = matcher(name)
        found = []
        for top in self.windows():
            for node in self.walk(top):
                if role_key(node.getRoleName()) == wanted_role and matches(node.name or ""):
                    found.append(node)
        return found

    def find(self, role, name):
        found = self.find_all(role, name)
        if not found:
            return None
        # Several matches (the same caption in two windows, say): the one on screen wins.
        for node in found:
            if node.getState().contains(pyatspi.STATE_SHOWING):
                return node
        return found[0]


def poll(timeout, look, what):
    """Calls look() until it returns something other than None; failed queries count as None."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            result = look()
            if result is not None:
                return result
        except GLib.GError as error:
            last_error = error
        except (NotImplementedError, LookupError, AttributeError) as error:
            last_error = error
        if time.monotonic() >= deadline:
            detail = f" (last error: {last_error})" if last_error else ""
            raise Failure(f"{what} within {timeout:g} s{detail}")
        time.sleep(POLL_SECONDS)


def text_of(node):
    try:
        text = node.queryText()
        return text.getText(0, -1)
    except NotImplementedError:
        return node.name or ""


PRESS_ACTIONS = ("press", "click", "activate", "toggle", "showmenu")


def action_index(node, names):
    action = node.queryAction()
    available = [action.getName(i) for i in range(action.nActions)]
    for wanted in names:
        for index, name in enumerate(available):
            if name.lower() == wanted:
                return action, index
    # A disabled button offers no action at all.
    raise Failure(f"{node.getRoleName()} '{node.name}' has no action {names[0]}: it offers {available}")


def send_without_reply(node, index):
    """Asks for the action and returns before the program answers."""
    address = os.environ.get("AT_SPI_BUS_ADDRESS")
    if not address:
        session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                                  GLib.VariantType.new("(s)"), Gio.DBusCallFlags.NONE, CALL_TIMEOUT_MS, None)
        address = reply.unpack()[0]
    bus = Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
    message = Gio.DBusMessage.new_method_call(node.app.bus_name, node.path, "org.a11y.atspi.Action", "DoAction")
    message.set_body(GLib.Variant("(i)", (index,)))
    message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
    bus.send_message(message, Gio.DBusSendMessageFlags.NONE)
    bus.flush_sync(None)
    bus.close_sync(None)


def dump(finder):
    def show(node, depth):
        states = node.getState()
        flags = [flag for flag, state in (("enabled", pyatspi.STATE_ENABLED), ("showing", pyatspi.STATE_SHOWING),
                                          ("focused", pyatspi.STATE_FOCUSED)) if states.contains(state)]
        text = ""
        if "Text" in node.get_interfaces():
            text = f" text={text_of(node)!r}"
        print(f"{'  ' * depth}{node.getRoleName()} {node.name!r} {flags}{text}")
        for index in range(node.childCount):
            child = node.getChildAtIndex(index)
            if child is not None:
                show(child, depth + 1)

    for app in finder.applications():
        print(f"application {app.name!r}")
        for index in range(app.childCount):
            top = app.getChildAtIndex(index)
            if top is not None and (finder.window is None or top.name == finder.window):
                show(top, 1)


def run(args):
    finder = Finder(args.window, args.app, args.timeout)
    where = f" in the window '{args.window}'" if args.window else ""

    if args.command == "dump":
        dump(finder)
        return

    label = f"{args.role} '{args.name}'{where}"

    def control():
        finder.pump()
        node = poll(args.timeout, lambda: finder.find(args.role, args.name), f"no {label}")
        return node

    if args.command == "wait":
        text_matches = matcher(args.text) if args.text is not None else None

        def meets():
            finder.pump()
            node = finder.find(args.role, args.name)
            if node is None:
                return None
            states = node.getState()
            if args.enabled and not states.contains(pyatspi.STATE_ENABLED):
                return None
            if args.disabled and states.contains(pyatspi.STATE_ENABLED):
                return None
            if args.showing and not states.contains(pyatspi.STATE_SHOWING):
                return None
            if args.focused and not states.contains(pyatspi.STATE_FOCUSED):
                return None
            if args.text is not None and not text_matches(text_of(node)):
                return None
            if args.value is not None and node.queryValue().currentValue != args.value:
                return None
            return node

        conditions = [c for c, on in (("enabled", args.enabled), ("disabled", args.disabled),
                                      ("showing", args.showing), ("focused", args.focused)) if on]
        if args.text is not None:
            conditions.append(f"text '{args.text}'")
        if args.value is not None:
            conditions.append(f"value {args.value:g}")
        what = f"no {label}" + (f" that is {', '.join(conditions)}" if conditions else "")
        try:
            poll(args.timeout, meets, what)
        except Failure:
            # Say what there is instead, so a failure explains itself.
            try:
                seen = finder.find(args.role, args.name)
                if seen is not None:
                    state = "enabled" if seen.getState().contains(pyatspi.STATE_ENABLED) else "disabled"
                    print(f"a11y: found it {state}, showing={seen.getState().contains(pyatspi.STATE_SHOWING)}, "
                          f"text {text_of(seen)!r}", file=sys.stderr)
            except GLib.GError:
                pass
            raise
        return

    if args.command == "announced":
        node = control()
        heard = []

        def on_name(event):
            source = event.source
            if source is not None and source.path == node.path and source.app == node.app:
                heard.append(event.any_data if isinstance(event.any_data, str) else source.name)

        # Registered before anything is waited for: the program sends the events only while someone
        # listens, and from then on every change counts.
        pyatspi.Registry.registerEventListener(on_name, "object:property-change:accessible-name")
        try:
            printed = 0

            def enough():
                nonlocal printed
                finder.pump()
                for name in heard[printed:]:
                    print(name, flush=True)
                printed = len(heard)
                return True if len(heard) >= args.count else None

            poll(args.timeout, enough, f"{label} did not announce {args.count} new names")
        finally:
            pyatspi.Registry.deregisterEventListener(on_name, "object:property-change:accessible-name")
        return

    if args.command == "gone":
        def absent():
            finder.pump()
            showing = [n for n in finder.find_all(args.role, args.name)
                       if n.getState().contains(pyatspi.STATE_SHOWING)]
            return True if not showing else None

        poll(args.timeout, absent, f"{label} is still there")
        return

    node = control()

    if args.command == "text":
        print(text_of(node))
    elif args.command == "description":
        print(node.description or "")
    elif args.command == "children":
        for index in range(node.childCount):
            child = node.getChildAtIndex(index)
            if child is not None:
                print(f"{child.getRoleName()}\t{child.name or ''}")
    elif args.command == "value":
        print(f"{node.queryValue().currentValue:g}")
    elif args.command == "where":
        box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        print(f"{box.x + box.width // 2} {box.y + box.height // 2}")
    elif args.command == "press":
        action, index = action_index(node, PRESS_ACTIONS)
        if args.no_wait:
            send_without_reply(node, index)
        elif not action.doAction(index):
            raise Failure(f"{label} refused its action")
    elif args.command == "focus":
        action, index = action_index(node, ("setfocus",))
        if not action.doAction(index):
            raise Failure(f"{label} refused the focus")
    elif args.command == "set-value":
        value = node.queryValue()
        value.currentValue = args.number
    elif args.command == "set-text":
        if not node.queryEditableText().setTextContents(args.text):
            raise Failure(f"{label} refused the text")
    elif args.command == "move":
        action, index = action_index(node, ("increase",) if args.direction == "up" else ("decrease",))
        for _ in range(args.count):
            if not action.doAction(index):
                raise Failure(f"{label} refused to move {args.direction}")
    elif args.command == "ping":
        limit = args.max if args.max is not None else CALL_TIMEOUT_MS / 1000
        # The query's own timeout bounds the wait: a frozen program fails here instead of hanging.
        Atspi.set_timeout(int(limit * 1000) + 1, int(limit * 1000) + 1)
        node.clear_cache()
        start = time.monotonic()
        try:
            node.get_name()
        except GLib.GError as error:
            raise Failure(f"{label} did not answer within {limit:g} s: {error.message}")
        took = time.monotonic() - start
        print(f"{took:.4f}")
        if args.max is not None and took > args.max:
            raise Failure(f"{label} answered after {took:.3f} s, more than {args.max:g} s")


def parse(argv):
    parser = argparse.ArgumentParser(prog="a11y.py", description=__doc__.split("\n")[0])
    parser.add_argument("--window", help="exact title of the top-level window to search")
    parser.add_argument("--app", help="exact name of the application to search")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to wait (default 10)")
    commands = parser.add_subparsers(dest="command", required=True)

    def control_command(name):
        command = commands.add_parser(name)
        command.add_argument("role")
        command.add_argument("name")
        return command

    wait = control_command("wait")
    state = wait.add_mutually_exclusive_group()
    state.add_argument("--enabled", action="store_true")
    state.add_argument("--disabled", action="store_true")
    wait.add_argument("--showing", action="store_true")
    wait.add_argument("--focused", action="store_true")
    wait.add_argument("--text")
    wait.add_argument("--value", type=float)
    control_command("gone")
    control_command("text")
    control_command("description")
    control_command("children")
    control_command("announced").add_argument("--count", type=int, default=1)
    control_command("value")
    control_command("where")
    control_command("press").add_argument("--no-wait", action="store_true")
    control_command("focus")
    control_command("set-value").add_argument("number", type=float)
    control_command("set-text").add_argument("text")
    move = control_command("move")
    move.add_argument("direction", choices=("up", "down"))
    move.add_argument("count", type=int, nargs="?", default=1)
    control_command("ping").add_argument("--max", type=float)
    commands.add_parser("dump")
    return parser.parse_args(argv)


def main(argv):
    args = parse(argv)
    try:
        run(args)
    except Failure as failure:
        print(f"a11y: {failure}", file=sys.stderr)
        return 1
    except GLib.GError as error:
        print(f"a11y: the program did not answer: {error.message}", file=sys.stderr)
        return 1
    except NotImplementedError as error:
        print(f"a11y: the control cannot do that: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
