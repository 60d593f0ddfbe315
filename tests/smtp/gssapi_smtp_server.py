"""A mail server on loopback that accepts SMTP AUTH GSSAPI with python3-gssapi.

Usage: gssapi_smtp_server.py SERVICE MODE
  SERVICE  the host-based service it accepts as ("SMTP@mail.test"); its key is
           in the keytab that KRB5_KTNAME names
  MODE     "accept": the exchange of RFC 4752, then 235 naming who logged in;
           "bad-offer": answers the client's token with bytes that are no
           wrapped message
Prints the port it listens on (127.0.0.1) as its first line, serves one
client, and exits when the client leaves or after 30 seconds of silence.
"""
import base64
import socket
import sys

import gssapi


def main():
    service, mode = sys.argv[1], sys.argv[2]
    creds = gssapi.Credentials(
        name=gssapi.Name(service, gssapi.NameType.hostbased_service), usage="accept")
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(30)
    print(listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    conn.settimeout(30)
    reader = conn.makefile("rb")

    def send(line):
        conn.sendall(line.encode("ascii") + b"\r\n")

    def receive():
        line = reader.readline()
        if not line:
            raise EOFError
        return line.rstrip(b"\r\n").decode("ascii")

    def rest(line):
        """Answers the client's remaining commands until QUIT."""
        while line != "QUIT":
            send("503 5.5.1 not now")
            line = receive()
        send("221 2.0.0 bye")

    try:
        send("220 mail.test ESMTP")
        receive()  # EHLO
        send("250-mail.test")
        send("250 AUTH GSSAPI")
        line = receive()
        if not line.startswith("AUTH GSSAPI "):
            rest(line)
            return
        ctx = gssapi.SecurityContext(creds=creds, usage="accept")
        out = ctx.step(base64.b64decode(line[len("AUTH GSSAPI "):]))
        if not ctx.complete or out:
            # A client that asked for more than one round; this server does one.
            send("535 5.7.8 context not complete after one token")
            rest(receive())
            return
        if mode == "bad-offer":
            send("334 " + base64.b64encode(b"no wrapped message").decode())
            rest(receive())
            return
        # Offer: security layer "none" only, maximum size 0.
        offer = ctx.wrap(b"\x01\x00\x00\x00", False).message
        send("334 " + base64.b64encode(offer).decode())
        answer = ctx.unwrap(base64.b64decode(receive())).message
        if answer[:4] != b"\x01\x00\x00\x00":
            send("535 5.7.8 security layer " + answer[:4].hex())
            rest(receive())
            return
        send("235 2.7.0 Authenticated %s as %s" % (ctx.initiator_name, answer[4:].decode()))
        rest(receive())
    except (EOFError, socket.timeout, ConnectionError):
        pass


if __name__ == "__main__":
    main()
