"""pySerial's RFC 2217 client against korva-modemsim: a simulated modem as a network serial port.

Usage: pyserial_modemsim.py <korva-modemsim program>

Checks that a modem answers AT, dials a station and raises DCD with the carrier, carries data to
an echoing station, loses DCD when the carrier drops; that a station's call (made through the
control pipe) shows as RI and can be answered with ATA; and that the device map files are
written while the bank runs and removed when it quits.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import serial

PATIENCE = 20.0  # seconds; only reached when something is broken

CONFIG = """\
# Two modems and two stations.
modem COM1 201 0
modem COM2 202 0   # second modem
station 5551001 echo
station 5551002 reply 0103000A0001 01030200117848
outcome 5559999 busy
"""


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.005)


def read_until(link, ending, what):
    received = b""
    deadline = time.monotonic() + PATIENCE
    while not received.endswith(ending):
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for %s; got %r" % (what, received))
        received += link.read(1)
    return received


def main():
    work = tempfile.mkdtemp(prefix="korva-modemsim-")
    config = os.path.join(work, "bank.conf")
    control = os.path.join(work, "control")
    device_map = os.path.join(work, "map")
    with open(config, "w") as out:
        out.write(CONFIG)
    env = dict(os.environ, KORVA_TIME_SCALE="0.2")
    bank = subprocess.Popen(
        [sys.argv[1], "--map", device_map, "--control", control, config],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
    try:
        ready = bank.stdout.readline().split()
        assert ready and ready[0] == "ready", "no ready line: %r" % ready
        ports = dict(entry.split("=") for entry in ready[1:])
        assert sorted(ports) == ["COM1", "COM2"], ports
        for name, port in ports.items():
            with open(os.path.join(device_map, name)) as entry:
                assert entry.read() == "rfc2217://127.0.0.1:%s\n" % port

        def command(text):
            with open(control, "w") as pipe:
                pipe.write(text + "\n")

        # Dialling out: the carrier comes with CONNECT, data reaches the echoing station.
        com1 = serial.serial_for_url("rfc2217://127.0.0.1:%s" % ports["COM1"], timeout=0.5)
        com1.write(b"AT\r")
        assert read_until(com1, b"OK\r\n", "OK") == b"AT\r\r\nOK\r\n"
        assert not com1.cd
        com1.write(b"ATDT5559999\r")
        read_until(com1, b"BUSY\r\n", "BUSY")
        com1.write(b"ATDT5551001\r")
        read_until(com1, b"CONNECT 2400\r\n", "CONNECT")
        wait_for(lambda: com1.cd, "DCD with the carrier")
        com1.write(b"hello \xff")
        assert read_until(com1, b"\xff", "the echo") == b"hello \xff"
        command("drop COM1")
        read_until(com1, b"NO CARRIER\r\n", "NO CARRIER")
        wait_for(lambda: not com1.cd, "DCD off after the carrier drop")

        # Answering: a station calls, RI shows, ATA answers, the station's hang-up ends it.
        com2 = serial.serial_for_url("rfc2217://127.0.0.1:%s" % ports["COM2"], timeout=0.5)
        assert not com2.ri
        command("call 5551002 202")
        read_until(com2, b"RING\r\n", "RING")
        wait_for(lambda: com2.ri, "RI while the station calls")
        com2.write(b"ATA\r")
        read_until(com2, b"CONNECT 2400\r\n", "CONNECT on answering")
        wait_for(lambda: com2.cd, "DCD on the answered call")
        com2.write(bytes.fromhex("0103000A0001"))
        reply = b""
        while len(reply) < 7:
            chunk = com2.read(7 - len(reply))
            assert chunk, "no alarm reply; got %r" % reply
            reply += chunk
        assert reply == bytes.fromhex("01030200117848"), reply
        command("hangup 5551002")
        read_until(com2, b"NO CARRIER\r\n", "NO CARRIER after the station hung up")
        wait_for(lambda: not com2.cd, "DCD off after the hang-up")
        com1.close()
        com2.close()

        bank.stdin.write("quit\n")
        bank.stdin.close()
        assert bank.wait(timeout=PATIENCE) == 0
        assert os.listdir(device_map) == [], "map entries left: %r" % os.listdir(device_map)
        assert not os.path.exists(control), "control pipe left behind"
        print("pySerial against korva-modemsim: all checks passed")
    finally:
        if bank.poll() is None:
            bank.kill()
            bank.wait()
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
