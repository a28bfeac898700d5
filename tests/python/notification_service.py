# A desktop notification service for the tests, run on a private session bus
# (dbus-run-session) by the system's Python, which has GLib's bindings: it owns
# org.freedesktop.Notifications and writes one JSON line to standard output
# when it is ready (with the bus address) and one for each Notify call.

import itertools
import json
import os
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

NAME = "org.freedesktop.Notifications"
INTERFACE = f"""
<node>
  <interface name="{NAME}">
    <method name="Notify">
      <arg direction="in" type="s"/><arg direction="in" type="u"/><arg direction="in" type="s"/>
      <arg direction="in" type="s"/><arg direction="in" type="s"/><arg direction="in" type="as"/>
      <arg direction="in" type="a{{sv}}"/><arg direction="in" type="i"/><arg direction="out" type="u"/>
    </method>
  </interface>
</node>"""


def say(**fields):
    print(json.dumps(fields), flush=True)


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    numbers = itertools.count(1)

    def on_call(connection, sender, path, interface, method, parameters, invocation):
        app, replaces, icon, summary, body, actions, hints, expires = parameters.unpack()
        say(app=app, summary=summary, body=body, actions=actions, hints=sorted(hints), expires=expires)
        invocation.return_value(GLib.Variant("(u)", (next(numbers),)))

    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    bus.register_object("/org/freedesktop/Notifications", node.interfaces[0], on_call, None, None)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(bus, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   lambda *_: say(ready=True, address=os.environ["DBUS_SESSION_BUS_ADDRESS"]),
                                   lambda *_: loop.quit())
    loop.run()
    return 1  # the name was lost, or never had


if __name__ == "__main__":
    sys.exit(main())
