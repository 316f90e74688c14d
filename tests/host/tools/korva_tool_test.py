"""korva-tool end to end on a virtual card, judged by OpenSSL: certificate
requests and signed messages for GOST R 34.10-2001, 2012-256, 2012-512 and
RSA keys, verification of its own and of OpenSSL's messages and refusal of
spoiled ones, PKCS#12 and certificate import with the failures that must
leave the card untouched, and the card check before and after damage.

usage: korva_tool_test.py <korva-tool> <libkorva-pkcs11.so>"""
import hashlib
import re
import sys

from tool_env import ToolEnv, expect, step

USER_PIN = "47102958"  # a newly initialised token's user PIN
SUBJECT = r"CN=Ivan Petrov,O=Example\, Ltd,1.2.643.100.3=12345678901,C=RU"
# key kind: (pkcs11-tool key type, id, the request's signature algorithm as `openssl req -text` names it)
KEYS = {
    "GOST R 34.10-2001": ("GOSTR3410:A", "21", "GOST R 34.11-94 with GOST R 34.10-2001"),
    "GOST R 34.10-2012-256": ("GOSTR3410-2012-256:B", "22", "GOST R 34.10-2012 with GOST R 34.11-2012 (256 bit)"),
    "GOST R 34.10-2012-512": ("GOSTR3410-2012-512:A", "23", "GOST R 34.10-2012 with GOST R 34.11-2012 (512 bit)"),
    "RSA": ("rsa:1024", "24", "sha1WithRSAEncryption"),
}
# exit codes of korva-tool
REFUSED, FILE, TOKEN, PIN, CARD_FILE = 1, 3, 5, 6, 7


class Tool:
    def __init__(self, env, program):
        self.env, self.program = env, program

    def __call__(self, *arguments, code=0, extra_env=None):
        command = [self.program, "--module", self.env.library, "--pin", USER_PIN, *arguments]
        result = self.env.completed(*command, extra_env=extra_env)
        output = result.stdout.decode() + result.stderr.decode()
        expect(result.returncode == code, f"exit {result.returncode}, not {code}: {' '.join(command)}\n{output}")
        return output

    def card_dump(self):
        return self("card", "dump", str(self.env.card))


def openssl(env, *arguments, expect_ok=True):
    return env.run("openssl", *arguments, expect_ok=expect_ok)


def plant_damage(card):
    """Adds one to the object counts of the counters file 70 FE and seals the
    card file again: a damage only the layout check can see. Reads the card
    file format of sim/internal/card_file.cpp, version 2."""
    data = bytearray(card.read_bytes())
    expect(data[:8] == b"KORVASIM" and int.from_bytes(data[8:10], "big") == 2, "a card file of version 2")
    at = 8 + 2 + 4 + 4 + 1 + 8 + 8 + 8 + 1  # header, memory size, flags, seed, counter, identity, PIN key cost

    def number(width):
        nonlocal at
        at += width
        return int.from_bytes(data[at - width:at], "big")

    def skip(width):
        nonlocal at
        length = number(width)
        at += length

    def node():
        nonlocal at
        fid = number(2)
        skip(1)  # descriptor
        number(4 + 1 + 1)  # size, size flag, life cycle
        for _ in range(3):
            skip(1)  # security attributes, name, proprietary
        body_length = number(4)
        if fid == 0x70FE:
            for i in range(min(body_length, 14)):
                data[at + i] += 1
            return True
        at += body_length
        for _ in range(number(4)):
            skip(2)  # records
        for _ in range(number(2)):
            number(2)
            skip(2)  # data objects
        for width in (2, 4, 1, 1):
            skip(width)  # secret in the clear, sealed secret, public key, PIN wrap
        number(1)  # tries left
        return any(node() for _ in range(number(4)))

    expect(node(), "the card file has a counters file")
    sealed = data[:-32]
    card.write_bytes(bytes(sealed) + hashlib.sha256(sealed).digest())


def requests_and_certificates(env, tool):
    step("card new, token initialisation, four key pairs")
    tool("card", "new", "--force", str(env.card))
    expect("factory-fresh" in tool("card", "check", str(env.card)), "card check knows a fresh card")
    env.pkcs11_tool("--init-token", "--so-pin", "87654321", "--label", "korva-tool test")
    for key_type, key_id, _ in KEYS.values():
        env.pkcs11_tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", key_type, "--id", key_id,
                        "--label", f"key {key_id}")
    openssl(env, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-subj", "/CN=Test CA",
            "-days", "2", "-out", "ca.pem")
    for kind, (_, key_id, algorithm) in KEYS.items():
        step(f"request, certificate import: {kind}")
        tool("request", "--id", key_id, "--subject", SUBJECT, "--out", f"request{key_id}.pem",
             "--extension", "keyUsage=critical,digitalSignature,nonRepudiation",
             "--extension", "extendedKeyUsage=emailProtection")
        text = openssl(env, "req", "-engine", "gost", "-in", f"request{key_id}.pem", "-verify", "-text", "-noout")
        expect("verify OK" in text, f"OpenSSL accepts the {kind} request")
        expect("Subject: C = RU, 1.2.643.100.3 = 12345678901, O = \"Example, Ltd\", CN = Ivan Petrov" in text
               or "Subject: C = RU, SNILS = 12345678901, O = \"Example, Ltd\", CN = Ivan Petrov" in text,
               f"the {kind} request's subject is the one given\n{text}")
        expect(re.search(r"Key Usage: critical\s+Digital Signature, Non Repudiation", text) is not None and
               re.search(r"Extended Key Usage:\s+E-mail Protection", text) is not None,
               f"the {kind} request's extensions are the ones given\n{text}")
        expect(f"Signature Algorithm: {algorithm}" in text, f"the {kind} request is signed with {algorithm}\n{text}")
        expect("NUMERICSTRING" in openssl(env, "asn1parse", "-in", f"request{key_id}.pem"), "SNILS is numeric")
        openssl(env, "x509", "-engine", "gost", "-req", "-in", f"request{key_id}.pem", "-CA", "ca.pem", "-CAkey",
                "ca.key", "-days", "1", "-out", f"certificate{key_id}.pem")
        expect(f"id {key_id}" in tool("import", "--in", f"certificate{key_id}.pem"),
               "the certificate joins the key pair it certifies")
    expect("consistent" in tool("card", "check", str(env.card)), "card check passes after the imports")
    env.pkcs11_tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "GOSTR3410-2012-256:A", "--id", "26")
    output = tool("request", "--id", "26", "--subject", "CN=x", "--out", "refused.pem", code=TOKEN)
    expect("CKR_FUNCTION_FAILED" in output and "CryptoPro" in output, f"a curve requests lack is named\n{output}")


def messages(env, tool):
    env.path("document.txt").write_text("A document signed on the token.\n")
    env.path("other.txt").write_text("Another document.\n")
    for kind, (_, key_id, _) in KEYS.items():
        step(f"sign and verify: {kind}")
        tool("sign", "--id", key_id, "--in", "document.txt", "--out", f"attached{key_id}.p7s")
        tool("sign", "--id", key_id, "--in", "document.txt", "--out", f"detached{key_id}.p7s", "--detached", "--der")
        openssl(env, "cms", "-verify", "-engine", "gost", "-noverify", "-binary", "-inform", "PEM",
                "-in", f"attached{key_id}.p7s", "-certfile", f"certificate{key_id}.pem", "-out", "/dev/null")
        openssl(env, "cms", "-verify", "-engine", "gost", "-noverify", "-binary", "-inform", "DER",
                "-in", f"detached{key_id}.p7s", "-content", "document.txt", "-certfile", f"certificate{key_id}.pem",
                "-out", "/dev/null")
        tool("verify", "--in", f"attached{key_id}.p7s")
        tool("verify", "--in", f"detached{key_id}.p7s", "--content", "document.txt")
        spoiled = bytearray(env.path(f"detached{key_id}.p7s").read_bytes())
        spoiled[-5] ^= 0x01  # inside the signature value, which ends the message
        env.path("spoiled.p7s").write_bytes(bytes(spoiled))
        tool("verify", "--in", "spoiled.p7s", "--content", "document.txt", code=REFUSED)
        tool("verify", "--in", f"detached{key_id}.p7s", "--content", "other.txt", code=REFUSED)
        tool("verify", "--in", f"detached{key_id}.p7s", code=REFUSED)

    step("verify OpenSSL's messages")
    openssl(env, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-subj", "/CN=Signer",
            "-days", "2", "-out", "signer.pem")
    sign = ["cms", "-sign", "-binary", "-in", "document.txt", "-signer", "signer.pem", "-inkey", "signer.key"]
    openssl(env, *sign, "-outform", "PEM", "-out", "openssl-attached.pem", "-nodetach")
    openssl(env, *sign, "-outform", "DER", "-out", "openssl-detached.der")
    openssl(env, *sign, "-outform", "DER", "-out", "openssl-nocerts.der", "-nodetach", "-nocerts")
    tool("verify", "--in", "openssl-attached.pem")
    tool("verify", "--in", "openssl-detached.der", "--content", "document.txt")
    output = tool("verify", "--in", "openssl-nocerts.der", code=REFUSED)
    expect("CKR_SIGNATURE_INVALID" in output, "a missing signer is named")
    env.path("not-a-message.txt").write_text("hello\n")
    tool("verify", "--in", "not-a-message.txt", code=FILE)
    expect("consistent" in tool("card", "check", str(env.card)), "card check passes after signing")


def imports(env, tool):
    step("PKCS#12 import: the key signs on the token")
    env.path("password").write_text("p12 password\n")
    openssl(env, "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", "imported.key", "-subj",
            "/CN=Imported", "-addext", "keyUsage=digitalSignature", "-days", "2", "-out", "imported.pem")
    openssl(env, "pkcs12", "-export", "-inkey", "imported.key", "-in", "imported.pem", "-passout", "file:password",
            "-out", "imported.p12")
    output = tool("import", "--in", "imported.p12", "--password-env", "KORVA_TEST_P12",
                  extra_env={"KORVA_TEST_P12": "p12 password"})
    imported_id = re.search(r"id ([0-9a-f]+)", output).group(1)
    expect("consistent" in tool("card", "check", str(env.card)), "card check passes after a PKCS#12 import")
    tool("sign", "--id", imported_id, "--in", "document.txt", "--out", "imported.p7s")
    openssl(env, "cms", "-verify", "-binary", "-inform", "PEM", "-in", "imported.p7s", "-CAfile", "imported.pem",
            "-purpose", "any", "-out", "/dev/null")

    step("PKCS#12 failures leave the card untouched")
    openssl(env, "pkcs12", "-export", "-inkey", "ca.key", "-in", "ca.pem", "-passout", "file:password",
            "-out", "rsa2048.p12")
    openssl(env, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            "ec.key", "-subj", "/CN=EC", "-days", "2", "-out", "ec.pem")
    openssl(env, "pkcs12", "-export", "-inkey", "ec.key", "-in", "ec.pem", "-passout", "file:password",
            "-out", "ec.p12")
    whole = env.path("imported.p12").read_bytes()
    env.path("truncated.p12").write_bytes(whole[:len(whole) // 2])
    env.path("wrong").write_text("not the password\n")
    before = tool.card_dump()
    for name, password, code, message in (
            ("imported.p12", "wrong", PIN, "wrong password"),
            ("truncated.p12", "password", FILE, "neither a PKCS#12 file nor a certificate"),
            ("rsa2048.p12", "password", FILE, "2048-bit RSA key; the token imports RSA keys of 1024 bits only"),
            ("ec.p12", "password", FILE, "EC key; the token imports RSA keys of 1024 bits only")):
        output = tool("import", "--in", name, "--password-file", password, code=code)
        expect(message in output and "nothing was written" in output, f"{name}: {output}")
        expect(tool.card_dump() == before, f"{name}: the card is unchanged")


def main():
    env = ToolEnv(sys.argv[2])
    tool = Tool(env, sys.argv[1])
    for command in ("info", "request", "sign", "verify", "import", "card", "card new", "card check", "card dump"):
        expect("Usage:" in tool(*command.split(), "--help"), f"{command} --help")
    tool("info", "--bogus", code=2)

    requests_and_certificates(env, tool)
    messages(env, tool)
    imports(env, tool)

    step("info and card check")
    info = tool("info")
    expect("certificates: 5" in info and "private keys: 6" in info, f"info counts the objects\n{info}")
    expect("the object store is consistent" in tool("card", "check", str(env.card)), "card check passes")
    plant_damage(env.card)
    output = tool("card", "check", str(env.card), code=CARD_FILE)
    expect("damaged" in output and "count of 5001" in output, f"card check names the damage\n{output}")
    print("all korva-tool checks passed")


if __name__ == "__main__":
    main()
