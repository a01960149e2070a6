"""pySerial's RFC 2217 client against our server with a loopback plug behind it.

Usage: pyserial_rfc2217.py <korva-rfc2217-loopback program>

Checks the negotiation (pySerial insists on answers to every setting, to the control lines and
to both purges), data with IAC bytes both ways, and DTR/RTS reaching the plug and coming back as
DCD/DSR/CTS notifications.
"""
import subprocess
import sys
import time

import serial

PATIENCE = 10.0  # seconds; only reached when something is broken


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


def main():
    server = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        port = int(server.stdout.readline())
        link = serial.serial_for_url(
            "rfc2217://127.0.0.1:%d" % port, baudrate=19200, bytesize=7,
            parity=serial.PARITY_EVEN, stopbits=serial.STOPBITS_TWO, timeout=2)
        payload = b"AT\xff\xff\x00\xfe\xfd\xfb\xfaOK\r\n" + bytes(range(256))
        link.write(payload)
        echoed = b""
        deadline = time.monotonic() + PATIENCE
        while len(echoed) < len(payload) and time.monotonic() < deadline:
            echoed += link.read(len(payload) - len(echoed))
        assert echoed == payload, "echo differs: %r" % echoed

        link.dtr = True
        link.rts = True
        wait_for(lambda: link.cd and link.dsr and link.cts, "DCD, DSR and CTS on")
        link.dtr = False
        wait_for(lambda: not link.cd and not link.dsr and link.cts, "DCD and DSR off")
        link.rts = False
        wait_for(lambda: not link.cts, "CTS off")
        link.reset_input_buffer()
        link.close()
        print("pySerial RFC 2217 client: all checks passed")
    finally:
        server.stdin.close()
        server.wait(timeout=PATIENCE)


if __name__ == "__main__":
    main()
