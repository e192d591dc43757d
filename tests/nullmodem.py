#!/usr/bin/python3
"""Null-modem cables between COM ports of a Wine prefix, for the reader tests of the Windows build.

Run beside Wine as `nullmodem.py --listen PORT_FILE --ports DIR`. A COM port of the prefix is
registered behind a link in the --ports folder (HKLM\\Software\\Wine\\Ports: COM7 = PORTS/com7);
this program puts a pseudo-terminal behind such links and relays bytes between the two ends of a
line, so that a Windows test plays the reader on one COM port while the program reads at the
other. It listens on a free TCP port of 127.0.0.1, which it writes to PORT_FILE once it listens.
A test asks over a connection to it, one request a line (a JSON object), and gets one answer a
line (a JSON object, with "error" when the request failed):

  {"do": "plug", "program": "com7", "reader": "com8"}  a new line: the program's end behind
                                                       PORTS/com7, the reader's behind PORTS/com8;
                                                       answers {"line": N}
  {"do": "link", "line": N, "name": "com9"}           the program's end behind PORTS/com9 too
  {"do": "unplug", "line": N}                         the reader's cable pulled: the program's end
                                                       goes away with every link to it
  {"do": "watch", "line": N}                          count openings of the program's end from now
  {"do": "opened", "line": N}                         answers {"opened": true} once one was seen
  {"do": "remove", "line": N}                         both ends gone, as at the end of a test

Bytes the reader sends while the program's end is not open wait in the line, as on a
pseudo-terminal; bytes sent to an end that is gone are lost, as on a cable without its far end.
Run it with /usr/bin/python3; it ends when killed.
"""

import ctypes
import errno
import fcntl
import itertools
import json
import os
import select
import signal
import socket
import sys
import termios
import tty

IN_OPEN = 0x20
libc = ctypes.CDLL(None, use_errno=True)


def inotify(path, mask):
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0 or libc.inotify_add_watch(fd, os.fsencode(path), mask) < 0:
        if fd >= 0:
            os.close(fd)
        raise OSError(ctypes.get_errno(), "inotify on " + path)
    return fd


def drain(fd):
    """Whether anything came, reading all of it."""
    seen = False
    while True:
        try:
            if not os.read(fd, 4096):
                return seen
            seen = True
        except BlockingIOError:
            return seen


class End:
    """One pseudo-terminal: its master here, its slave behind links for Wine."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        attrs = termios.tcgetattr(self.slave)
        attrs[2] |= termios.CLOCAL | termios.CREAD
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        self.watch = -1
        self.opened = False
        # The wineserver opens the device without O_NOCTTY: a pty that is no one's controlling
        # terminal would become its own, and each hang-up would send it SIGHUP. A child in a
        # session of its own takes the pty first; it holds the slave open too, so that the line
        # does not hang up whenever the program closes its port, and it goes with the master.
        taken_read, taken_write = os.pipe()
        self.holder = os.fork()
        if self.holder == 0:
            try:
                for fd in map(int, os.listdir("/proc/self/fd")):
                    if fd > 2 and fd not in (self.slave, taken_write):
                        try:
                            os.close(fd)
                        except OSError:
                            pass
                os.setsid()
                fcntl.ioctl(self.slave, termios.TIOCSCTTY, 0)
                os.write(taken_write, b"1")
                signal.pause()
            finally:
                os._exit(0)
        os.close(taken_write)
        taken = os.read(taken_read, 1)
        os.close(taken_read)
        os.close(self.slave)
        if not taken:
            self.close()
            raise RuntimeError("could not make %s a controlling terminal" % self.path)

    def send(self, data):
        try:
            os.write(self.master, data)
        except OSError as e:  # a full line drops what does not fit, as a UART would
            if e.errno not in (errno.EAGAIN, errno.EIO):
                raise

    def close(self):
        os.close(self.master)
        try:
            os.kill(self.holder, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.holder, 0)
        if self.watch >= 0:
            os.close(self.watch)


class Relay:
    def __init__(self, ports):
        self.ports = ports
        self.lines = {}  # number: {"program": End or None, "reader": End}
        self.numbers = itertools.count(1)

    def link(self, name, end):
        link = os.path.join(self.ports, name)
        os.symlink(end.path, link + ".new")
        os.replace(link + ".new", link)

    def unlink_all(self, end):
        for name in os.listdir(self.ports):
            link = os.path.join(self.ports, name)
            if os.path.islink(link) and os.readlink(link) == end.path:
                os.remove(link)

    def drop_program_end(self, line):
        end = line["program"]
        if end:
            self.unlink_all(end)
            end.close()
            line["program"] = None

    def handle(self, request):
        what = request["do"]
        if what == "plug":
            line = {"program": End(), "reader": End()}
            number = next(self.numbers)
            self.lines[number] = line
            self.link(request["program"], line["program"])
            self.link(request["reader"], line["reader"])
            return {"line": number}
        line = self.lines[request["line"]]
        if what == "remove":
            self.drop_program_end(line)
            self.unlink_all(line["reader"])
            line["reader"].close()
            del self.lines[request["line"]]
            return {}
        if what == "unplug":
            self.drop_program_end(line)
            return {}
        end = line["program"]
        if end is None:
            raise RuntimeError("the line is unplugged")
        if what == "link":
            self.link(request["name"], end)
        elif what == "watch":
            end.watch = inotify(end.path, IN_OPEN)
            end.opened = False
        elif what == "opened":
            end.opened = end.opened or (end.watch >= 0 and drain(end.watch))
            return {"opened": end.opened}
        else:
            raise RuntimeError("unknown request " + what)
        return {}

    def relay(self, ready):
        for line in self.lines.values():
            program, reader = line["program"], line["reader"]
            for source, sink in ((program, reader), (reader, program)):
                if source is None or source.master not in ready:
                    continue
                try:
                    data = os.read(source.master, 4096)
                except OSError:  # nobody at the slave: nothing to pass on
                    continue
                if sink is not None:
                    sink.send(data)

    def masters(self):
        return [end.master for line in self.lines.values()
                for end in (line["program"], line["reader"]) if end]


def answer(relay, line):
    try:
        reply = relay.handle(json.loads(line))
    except Exception as e:  # the test reads the reason from the answer
        reply = {"error": repr(e)}
        print("nullmodem.py: %s: %s" % (line.decode(errors="replace").strip(), reply["error"]),
              file=sys.stderr)
    return json.dumps(reply).encode() + b"\n"


def listen(port_file):
    """A listening socket on a free port of 127.0.0.1, named in port_file once it listens."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    with open(port_file + ".part", "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.replace(port_file + ".part", port_file)
    return listener


def serve(port_file, ports):
    relay = Relay(ports)
    listener = listen(port_file)
    clients = {}  # socket: what came in after its last whole line
    while True:
        ready, _, _ = select.select([listener] + list(clients) + relay.masters(), [], [])
        relay.relay(ready)
        if listener in ready:
            client, _ = listener.accept()
            clients[client] = b""
        for client in [c for c in clients if c in ready]:
            try:
                data = client.recv(4096)
                clients[client] += data
                while b"\n" in clients[client]:
                    line, clients[client] = clients[client].split(b"\n", 1)
                    client.sendall(answer(relay, line))
            except OSError:  # a test that ended in the middle of a request
                data = b""
            if not data:
                client.close()
                del clients[client]


def main():
    if len(sys.argv) != 5 or sys.argv[1] != "--listen" or sys.argv[3] != "--ports":
        sys.exit(__doc__)
    serve(sys.argv[2], sys.argv[4])


if __name__ == "__main__":
    main()
