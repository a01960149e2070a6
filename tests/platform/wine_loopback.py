#!/usr/bin/env python3
"""Runs a Windows test program under wine with a loopback serial port.

Usage: wine_loopback.py WINE PROGRAM [ARGUMENTS...]

A pseudo-terminal is linked into wine's device folder as COM<n>; everything the program writes
to the port is echoed back, as a loopback plug would. The program learns the port's number from
KORVA_TEST_LOOPBACK_COM. The exit status is the program's.
"""
import os
import pty
import selectors
import subprocess
import sys
import termios
import threading
import tty

PORT = 37  # far from any port a machine has, and above 9 to need the device namespace


def wine_prefix():
    return os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")


def make_prefix(wine):
    """The first start of wine creates its prefix and device folder."""
    devices = os.path.join(wine_prefix(), "dosdevices")
    if not os.path.isdir(devices):
        subprocess.run([wine, "cmd", "/c", "exit"], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return devices


def hold_as_controlling_terminal(slave):
    """Gives the terminal to a session of its own. Otherwise the wine server, which opens the
    device for the program, would take it as its controlling terminal and be hung up with it."""
    def become_owner():
        os.setsid()
        import fcntl
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    return subprocess.Popen(["sleep", "infinity"], preexec_fn=become_owner, pass_fds=(slave,),
                            stdin=subprocess.DEVNULL)


def echo(master, stop):
    selector = selectors.DefaultSelector()
    selector.register(master, selectors.EVENT_READ)
    while not stop.is_set():
        for _ in selector.select(timeout=0.1):
            try:
                data = os.read(master, 4096)
            except OSError:
                return
            while data:
                data = data[os.write(master, data):]


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    wine, program = sys.argv[1], sys.argv[2]
    devices = make_prefix(wine)
    master, slave = pty.openpty()
    tty.setraw(slave)
    owner = hold_as_controlling_terminal(slave)
    link = os.path.join(devices, f"com{PORT}")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    stop = threading.Event()
    echoer = threading.Thread(target=echo, args=(master, stop), daemon=True)
    echoer.start()
    try:
        environment = dict(os.environ, KORVA_TEST_LOOPBACK_COM=str(PORT))
        environment.setdefault("WINEDEBUG", "-all")
        status = subprocess.run([wine, program] + sys.argv[3:], env=environment).returncode
    finally:
        stop.set()
        echoer.join()
        os.unlink(link)
        owner.kill()
        owner.wait()
        os.close(master)
        os.close(slave)
    sys.exit(status)


if __name__ == "__main__":
    main()
