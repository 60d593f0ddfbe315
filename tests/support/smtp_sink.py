#!/usr/bin/python3
# A mail server for the tests: aiosmtpd on 127.0.0.1 at a port the system
# picks, printed as the first line on standard output once it listens. Each
# message it accepts is stored in FOLDER before the server answers 250 to its
# data: N.eml holds the bytes as received (dot-stuffing undone), N.env the
# envelope, "from" and then one "to" line per recipient. A sender whose name
# begins with "greylisted" is refused with 451 at its first MAIL; one whose
# name begins with "refused" is refused for good (550) at every MAIL.
# Usage: smtp_sink.py FOLDER; ends on SIGTERM.
import asyncio
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


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
        self.write("%d.env" % self.count, envelope_text.encode("utf-8", "surrogateescape"))
        self.write("%d.eml" % self.count, envelope.original_content)
        return "250 Message accepted"


def main():
    folder = sys.argv[1]
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    store = Store(folder)
    # A fixed host name: no name lookup of this machine.
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(store, hostname="sink.test", loop=loop), host="127.0.0.1", port=0))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()
    server.close()


main()
