#!/usr/bin/python3
"""Drops files on the X window under a screen point, as a desktop's file
manager does: an XDND drag source offering text/uri-list.

usage: xdnd_drop.py X Y FILE...   (exit 0 when the target accepted the drop)
"""
import os
import sys
import time
import urllib.parse

from Xlib import X, display, Xatom
from Xlib.protocol import event


def find_aware_window(d, root, x, y):
    """The deepest window at (x, y) that carries XdndAware, walking down."""
    aware = d.intern_atom("XdndAware")
    found = None
    window = root
    while window:
        if window.get_full_property(aware, X.AnyPropertyType):
            found = window
        child = None
        tree = window.query_tree()
        # Children are listed bottom to top: take the topmost that contains the point.
        for c in reversed(tree.children):
            try:
                attrs = c.get_attributes()
                if attrs.map_state != X.IsViewable:
                    continue
                g = c.get_geometry()
                pos = c.translate_coords(root, 0, 0)
                left, top = -pos.x, -pos.y
                if left <= x < left + g.width and top <= y < top + g.height:
                    child = c
                    break
            except Exception:
                continue
        window = child
    return found


def send_client(d, target, source, type_name, data):
    ev = event.ClientMessage(window=target, client_type=d.intern_atom(type_name),
                             data=(32, data))
    target.send_event(ev, event_mask=0, propagate=False)
    d.flush()


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    x, y = int(sys.argv[1]), int(sys.argv[2])
    paths = [os.path.abspath(p) for p in sys.argv[3:]]
    uri_list = "".join("file://" + urllib.parse.quote(p) + "\r\n" for p in paths).encode()

    d = display.Display()
    root = d.screen().root
    source = root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    selection = d.intern_atom("XdndSelection")
    uri_type = d.intern_atom("text/uri-list")
    copy = d.intern_atom("XdndActionCopy")
    source.set_selection_owner(selection, X.CurrentTime)

    target = find_aware_window(d, root, x, y)
    if target is None:
        print("no drop target at %d,%d" % (x, y), file=sys.stderr)
        return 1
    now = X.CurrentTime
    send_client(d, target, source, "XdndEnter", [source.id, 5 << 24, uri_type, 0, 0])
    send_client(d, target, source, "XdndPosition", [source.id, 0, (x << 16) | y, now, copy])

    accepted = None
    dropped = False
    deadline = time.time() + 10
    while time.time() < deadline:
        while d.pending_events():
            ev = d.next_event()
            if ev.type == X.ClientMessage:
                name = d.get_atom_name(ev.client_type)
                if name == "XdndStatus":
                    accepted = bool(ev.data[1][1] & 1)
                    if not dropped:
                        if not accepted:
                            send_client(d, target, source, "XdndLeave", [source.id, 0, 0, 0, 0])
                            print("drop refused", file=sys.stderr)
                            return 1
                        send_client(d, target, source, "XdndDrop", [source.id, 0, now, 0, 0])
                        dropped = True
                elif name == "XdndFinished":
                    return 0
            elif ev.type == X.SelectionRequest:
                prop = ev.property or ev.target
                if ev.target == uri_type:
                    ev.requestor.change_property(prop, uri_type, 8, uri_list)
                else:
                    prop = X.NONE
                notify = event.SelectionNotify(time=ev.time, requestor=ev.requestor,
                                               selection=ev.selection, target=ev.target,
                                               property=prop)
                ev.requestor.send_event(notify)
                d.flush()
        time.sleep(0.01)
    print("no answer from the drop target (accepted=%s, dropped=%s)" % (accepted, dropped),
          file=sys.stderr)
    return 0 if dropped else 1


if __name__ == "__main__":
    sys.exit(main())
