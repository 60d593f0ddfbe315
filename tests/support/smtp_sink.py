#!/usr/bin/python3
# A mail server for the tests: aiosmtpd on 127.0.0.1 at a port the system
# picks, printed as the first line on standard output once it listens. Each
# message it accepts is stored in FOLDER before the server answers 250 to its
# data: N.eml holds the bytes as received (dot-stuffing undone), N.env the
# envelope, "from" and then one "to" line per recipient. A sender whose name
# begins with "greylisted" is refused with 451 at its first MAIL; one whose
# name begins with "refused" is refused for good (550) at every MAIL.
#
# TLS and AUTH when asked: with --cert and --key the server offers STARTTLS
# (--require-starttls: nothing but EHLO, HELO, NOOP, QUIT and STARTTLS before
# it) or, with --implicit, speaks TLS from the first byte; with --auth
# USER:PASSWORD it offers AUTH LOGIN and PLAIN (over TLS only, when it has a
# certificate) and refuses MAIL before a successful AUTH. The envelope of a
# message that came over TLS gets a line "tls VERSION"; of an authenticated
# session a line "auth MECHANISM USER". Every AUTH the server is sent, taken
# or refused, adds a line "MECHANISM USER" to FOLDER/auth.log.
# Usage: smtp_sink.py FOLDER [--cert FILE --key FILE [--require-starttls | --implicit]]
#                            [--auth USER:PASSWORD] [--port PORT]; ends on SIGTERM.
import argparse
import asyncio
import logging
import os
import signal
import ssl
import warnings

from aiosmtpd.smtp import SMTP, AuthResult


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.greylisted = set()

    def write(self, name, data):
        # Written under a temporary name, then renamed: a reader never sees a half file.
        path = os.path.join(self.folder, name)
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.rename(path + ".part", path)

    # Greylisting as servers do it: the first MAIL from a sender whose name
    # begins with "greylisted" is refused for now (451), later ones pass.
    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if address.startswith("refused"):
            return "550 5.7.1 sender refused"
        if address.startswith("greylisted") and address not in self.greylisted:
            self.greylisted.add(address)
            return "451 4.7.1 greylisted, try again later"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        envelope_text = "from " + envelope.mail_from + "\n"
        envelope_text += "".join("to " + r + "\n" for r in envelope.rcpt_tos)
        tls = server.transport.get_extra_info("ssl_object")
        if tls is not None:
            envelope_text += "tls " + tls.version() + "\n"
        if session.authenticated:
            envelope_text += "auth %s %s\n" % session.auth_data
        self.write("%d.env" % self.count, envelope_text.encode("utf-8", "surrogateescape"))
        self.write("%d.eml" % self.count, envelope.original_content)
        return "250 Message accepted"


def authenticator(store, user, password):
    def check(server, session, envelope, mechanism, auth_data):
        # Every login the server was sent, in order, whether it was taken or not.
        with open(os.path.join(store.folder, "auth.log"), "a") as log:
            log.write("%s %s\n" % (mechanism, auth_data.login.decode("utf-8", "surrogateescape")))
        if auth_data.login == user and auth_data.password == password:
            return AuthResult(success=True, auth_data=(mechanism, user.decode("utf-8", "surrogateescape")))
        # Not handled: the server answers the failed login with its 535 itself.
        return AuthResult(success=False, handled=False)
    return check


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--auth")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    store = Store(args.folder)
    # A fixed host name: no name lookup of this machine.
    options = {"hostname": "sink.test", "loop": loop}
    context = None
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if not args.implicit:
            options.update(tls_context=context, require_starttls=args.require_starttls)
    if args.auth:
        # aiosmtpd warns about AUTH without STARTTLS (the implicit port) and logs its own
        # deprecated login_data at each AUTH; neither concerns the tests.
        warnings.simplefilter("ignore")
        logging.getLogger("mail.log").setLevel(logging.ERROR)
        user, _, password = args.auth.partition(":")
        options.update(authenticator=authenticator(store, user.encode(), password.encode()),
                       auth_required=True,
                       # On the implicit port the connection is TLS from its start.
                       auth_require_tls=bool(args.cert) and not args.implicit)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(store, **options), host="127.0.0.1", port=args.port,
                           ssl=context if args.implicit else None))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()
    server.close()


main()
