# A screen reader that reads a whole list (scripts/atspi-measure walker): the first time an item of a
# list of 1,000 items or more gets the focus, it asks the list for all its items at once (GetChildren),
# then reads the first 1,000 one by one (GetChildAtIndex and the name, two round trips each), and
# prints what each took.
import sys
import time

import dbus
import pyatspi

session = dbus.SessionBus()
address = session.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(dbus_interface="org.a11y.Bus")
a11y = dbus.bus.BusConnection(address)
ACCESSIBLE = "org.a11y.atspi.Accessible"
PROPERTIES = "org.freedesktop.DBus.Properties"
done = False


def on_focus(event):
    global done
    try:
        if done or event.source.getRole() not in (pyatspi.ROLE_LIST_ITEM, pyatspi.ROLE_TABLE_CELL):
            return
        owner = event.source.parent
        if owner.childCount < 1000:
            return
    except Exception:
        return
    done = True
    obj = a11y.get_object(owner.app.bus_name, owner.path, introspect=False)
    start = time.monotonic()
    count = int(obj.Get(ACCESSIBLE, "ChildCount", dbus_interface=PROPERTIES))
    children = obj.GetChildren(dbus_interface=ACCESSIBLE, timeout=600)
    all_at_once = time.monotonic() - start
    start = time.monotonic()
    for i in range(1000):
        ref = obj.GetChildAtIndex(i, dbus_interface=ACCESSIBLE)
        a11y.get_object(ref[0], ref[1], introspect=False).Get(ACCESSIBLE, "Name", dbus_interface=PROPERTIES)
    one_by_one = (time.monotonic() - start) / 1000
    role = event.source.getRoleName()
    print(f"walker: {owner.getRoleName()} of {count} children ({role}s); all at once {all_at_once * 1e3:.0f} ms "
          f"for {len(children)}; one by one {one_by_one * 1e3:.2f} ms each, "
          f"{one_by_one * count:.1f} s for all", flush=True)


pyatspi.Registry.registerEventListener(on_focus, "focus:", "object:state-changed:focused")
pyatspi.Registry.start()
