"""Independent reading of an NTLM AUTHENTICATE message with python3-impacket.

Reads three lines from standard input (UTF-8): the message in hex, the server
challenge in hex, the password.  Prints one "name value" line per field that
impacket parses out of the message, and the LM and NT responses that impacket
computes itself for the challenge pair (the client challenge taken from the
message's LM field, where NTLM2 session responses carry it).  The password
comes on standard input so that it shows in no process list or test log.
"""
import sys

from impacket import ntlm


def text(utf16):
    """UTF-16LE bytes as the hex of their UTF-8 form ("-" for none)."""
    return utf16.decode("utf-16-le").encode("utf-8").hex() or "-"


def main():
    lines = sys.stdin.buffer.read().decode("utf-8").split("\n")
    msg = bytes.fromhex(lines[0])
    server = bytes.fromhex(lines[1])
    password = lines[2]
    auth = ntlm.NTLMAuthChallengeResponse()
    auth.fromString(msg)
    flags = auth["flags"]
    lm = auth["lanman"]
    nthash = ntlm.compute_nthash(password)
    nt_expected, lm_expected, _ = ntlm.computeResponseNTLMv1(
        flags, server, lm[:8], b"", "", "x", password,
        lmhash=b"\0" * 16, nthash=nthash, use_ntlmv2=False)
    fields = [
        ("signature", msg[:8].hex()),
        ("type", "%d" % int.from_bytes(msg[8:12], "little")),
        ("flags", "%08x" % flags),
        ("domain", text(auth["domain_name"])),
        ("user", text(auth["user_name"])),
        ("workstation", text(auth["host_name"])),
        ("session_key_len", "%d" % auth["session_key_len"]),
        ("lm", lm.hex()),
        ("nt", auth["ntlm"].hex()),
        ("lm_expected", lm_expected.hex()),
        ("nt_expected", nt_expected.hex()),
    ]
    for name, value in fields:
        print(name, value)


if __name__ == "__main__":
    main()
