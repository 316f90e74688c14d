"""pkcs11-tool drives the library end to end on a factory-fresh virtual card:
token and PIN set-up, key pairs of every kind, signatures checked on the token
and by OpenSSL, digests, random numbers, certificates and data objects, and
pkcs11-tool's own self-test.

With --pcsc the same checks run on the card in PC/SC reader "Virtual PCD 00
00" (the card program on the card file KORVA_TEST_PCSC_CARD names, behind
pcscd; scripts/pcsc-tests sets it up), and the token is then read through the
library's built-in reader from that card file: nothing may be lost between
the two paths.

usage: pkcs11_tool_test.py <libkorva-pkcs11.so> [--pcsc]"""
import os
import base64
import hashlib
import re
import subprocess
import sys

from tool_env import ToolEnv, expect, step

SO_PIN, USER_PIN = "87654321", "5678"

# key kind: (pkcs11-tool key type, id, signing mechanism, OpenSSL digest,
#            SubjectPublicKeyInfo algorithm OID, digest OID or None)
GOST_KEYS = {
    "2001": ("GOSTR3410:A", "21", "GOSTR3410-WITH-GOSTR3411", "md_gost94", "06062a8503020213", "06072a850302021e01"),
    "2012-256": ("GOSTR3410-2012-256:A", "22", "GOSTR3410-WITH-GOSTR3411-12-256", "md_gost12_256",
                 "06082a85030701010101", "06082a85030701010202"),
    "2012-512": ("GOSTR3410-2012-512:A", "23", "GOSTR3410-WITH-GOSTR3411-12-512", "md_gost12_512",
                 "06082a85030701010102", None),
}


def der(tag, content):
    length = len(content)
    if length < 0x80:
        head = bytes([length])
    elif length < 0x100:
        head = bytes([0x81, length])
    else:
        head = bytes([0x82, length >> 8, length & 0xFF])
    return bytes([tag]) + head + content


def gost_public_key_pem(algorithm, curve, digest, value):
    """The SubjectPublicKeyInfo OpenSSL's GOST engine reads: the token's
    CKA_VALUE (X then Y, each little-endian) in an OCTET STRING."""
    parameters = bytes.fromhex(curve) + (bytes.fromhex(digest) if digest else b"")
    spki = der(0x30, der(0x30, bytes.fromhex(algorithm) + der(0x30, parameters)) +
               der(0x03, b"\x00" + der(0x04, value)))
    text = base64.encodebytes(spki).decode().replace("\n", "")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ("-----BEGIN PUBLIC KEY-----\n" + "\n".join(lines) + "\n-----END PUBLIC KEY-----\n").encode()


def public_key_fields(listing, key_id):
    """PARAMS OID and VALUE of the public key with this ID, as pkcs11-tool lists them."""
    for block in re.split(r"\n(?=\S)", listing):
        if not block.startswith("Public Key Object") or not re.search(rf"ID:\s+{key_id}\b", block):
            continue
        params = re.search(r"PARAMS OID:\s+([0-9a-f]+)", block).group(1)
        value = re.search(r"VALUE:\s+((?:[0-9a-f]+\s*)+)", block).group(1)
        return params, bytes.fromhex("".join(value.split()))
    sys.exit(f"no public key with ID {key_id} in:\n{listing}")


def main():
    env = ToolEnv(sys.argv[1])
    pcsc_card = os.environ["KORVA_TEST_PCSC_CARD"] if sys.argv[2:] == ["--pcsc"] else None
    if pcsc_card:
        env.env["KORVA_READERS"] = "pcsc"
    tool = env.pkcs11_tool
    login = ("--login", "--pin", USER_PIN)

    step("slots and mechanisms")
    slot_name = "Virtual PCD 00 00" if pcsc_card else "Virtual card token.card"
    expect(slot_name in tool("--list-slots"), f"{slot_name} is a slot")
    mechanisms = tool("--list-mechanisms")
    for name in ("GOSTR3410-WITH-GOSTR3411-12-512", "RSA-PKCS-KEY-PAIR-GEN", "GOSTR3411-12-256"):
        expect(name in mechanisms, f"{name} is listed")

    step("token and PINs")
    tool("--init-token", "--so-pin", SO_PIN, "--label", "Tool test")
    expect("Tool test" in tool("--list-token-slots"), "the label is set")
    tool("--init-pin", "--login", "--login-type", "so", "--so-pin", SO_PIN, "--new-pin", "1234")
    tool("--change-pin", "--login", "--pin", "1234", "--new-pin", USER_PIN)
    traced = env.run("pkcs11-tool", "--module", env.library, "--login", "--pin", "1234", "--list-objects",
                     expect_ok=False, extra_env={"KORVA_PKCS11_TRACE": "2"})
    expect("C_Login(session=1, user=CKU_USER, pin=<4 bytes>)" in traced and "-> CKR_PIN_INCORRECT" in traced,
           "the trace names the call's arguments and result")
    expect(re.search(r"apdu slot 0 > 00 20 00 \w\w \w\w( \*\*)+\n", traced) and "31 32 33 34" not in traced,
           f"the trace shows the VERIFY command with its PIN masked:\n{traced}")
    tool(*login, "--list-objects")

    step("key pairs")
    for key_type, key_id, *_ in GOST_KEYS.values():
        tool(*login, "--keypairgen", "--key-type", key_type, "--id", key_id, "--label", "gost " + key_id)
    tool(*login, "--keypairgen", "--key-type", "rsa:1024", "--id", "24", "--label", "rsa")
    listing = tool("--list-objects", "--type", "pubkey")

    step("signatures, checked on the token and by OpenSSL")
    message = env.path("message.txt")
    message.write_bytes(b"Signed through the standard library.\n" * 40)
    for kind, (_, key_id, mechanism, digest, algorithm, digest_oid) in GOST_KEYS.items():
        signature = env.path(f"signature-{kind}.bin")
        tool(*login, "--sign", "--id", key_id, "-m", mechanism, "-i", message, "-o", signature)
        verified = tool(*login, "--verify", "--id", key_id, "-m", mechanism, "-i", message, "--signature-file", signature)
        expect("Signature is valid" in verified, f"the token verifies the {kind} signature")
        params, value = public_key_fields(listing, key_id)
        key = env.path(f"key-{kind}.pem")
        key.write_bytes(gost_public_key_pem(algorithm, params, digest_oid, value))
        result = env.run("openssl", "dgst", "-engine", "gost", "-" + digest, "-verify", key, "-signature",
                         signature, message)
        expect("Verified OK" in result, f"OpenSSL verifies the {kind} signature")
        tampered = env.path(f"tampered-{kind}.bin")
        tampered.write_bytes(bytes([signature.read_bytes()[0] ^ 1]) + signature.read_bytes()[1:])
        rejected = tool(*login, "--verify", "--id", key_id, "-m", mechanism, "-i", message, "--signature-file",
                        tampered)
        expect("Invalid signature" in rejected, f"the token rejects a changed {kind} signature")

    rsa_signature, rsa_key = env.path("signature-rsa.bin"), env.path("key-rsa.der")
    short = env.path("short.txt")
    short.write_bytes(b"RSA-PKCS signs at most 117 bytes")
    tool(*login, "--sign", "--id", "24", "-m", "RSA-PKCS", "-i", short, "-o", rsa_signature)
    verified = tool(*login, "--verify", "--id", "24", "-m", "RSA-PKCS", "-i", short, "--signature-file", rsa_signature)
    expect("Signature is valid" in verified, "the token verifies the RSA signature")
    tool("--read-object", "--type", "pubkey", "--id", "24", "-o", rsa_key)
    recovered = subprocess.run(["openssl", "pkeyutl", "-verifyrecover", "-pubin", "-keyform", "DER", "-inkey",
                                rsa_key, "-in", rsa_signature], stdout=subprocess.PIPE, check=True).stdout
    expect(recovered == short.read_bytes(), "OpenSSL recovers the RSA-signed data")

    step("an RSA key OpenSSL made, written as a private key alone, signs on the card")
    made, made_der, made_signature = env.path("made.pem"), env.path("made.der"), env.path("made.sig")
    env.run("openssl", "genrsa", "-out", made, "1024")
    env.run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", made, "-outform", "DER", "-out", made_der)
    tool(*login, "--write-object", made_der, "--type", "privkey", "--id", "26", "--label", "made by OpenSSL")
    tool(*login, "--sign", "--id", "26", "-m", "SHA256-RSA-PKCS", "-i", message, "-o", made_signature)
    result = env.run("openssl", "dgst", "-sha256", "-prverify", made, "-signature", made_signature, message)
    expect("Verified OK" in result, "OpenSSL verifies the imported key's signature")

    step("digests and random numbers")
    digest = env.path("digest.bin")
    tool("--hash", "-m", "SHA256", "-i", message, "-o", digest)
    expect(digest.read_bytes() == hashlib.sha256(message.read_bytes()).digest(), "SHA-256 matches")
    tool("--hash", "-m", "GOSTR3411-12-256", "-i", message, "-o", digest)
    reference = env.run("openssl", "dgst", "-engine", "gost", "-md_gost12_256", "-r", message).split()[0]
    expect(digest.read_bytes().hex() == reference, "GOST R 34.11-2012 matches OpenSSL")
    random_bytes = env.path("random.bin")
    tool("--generate-random", "100", "-o", random_bytes)
    expect(len(random_bytes.read_bytes()) == 100, "100 random bytes")

    step("a secret key: AES-CBC round trip")
    iv = "000102030405060708090a0b0c0d0e0f"
    plain, sealed, opened = env.path("plain.bin"), env.path("sealed.bin"), env.path("opened.bin")
    plain.write_bytes(bytes(range(64)))
    tool(*login, "--keygen", "--key-type", "AES:16", "--id", "25", "--label", "aes")
    tool(*login, "--encrypt", "--id", "25", "-m", "AES-CBC", "--iv", iv, "-i", plain, "-o", sealed)
    tool(*login, "--decrypt", "--id", "25", "-m", "AES-CBC", "--iv", iv, "-i", sealed, "-o", opened)
    expect(sealed.read_bytes() != plain.read_bytes() and opened.read_bytes() == plain.read_bytes(),
           "AES-CBC decrypts what it encrypted")

    step("certificates and data objects")
    certificate = env.path("certificate.der")
    env.run("openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", env.path("cert-key.pem"),
            "-subj", "/CN=Tool test", "-days", "1", "-outform", "DER", "-out", certificate)
    data = env.path("data.bin")
    data.write_bytes(bytes(range(256)) * 3)
    tool(*login, "--write-object", certificate, "--type", "cert", "--id", "30", "--label", "tool cert")
    tool(*login, "--write-object", data, "--type", "data", "--label", "tool data")
    objects = tool(*login, "--list-objects")
    expect("tool cert" in objects and "tool data" in objects, "both objects are listed")
    for kind, selector, original in (("cert", ("--id", "30"), certificate), ("data", ("--label", "tool data"), data)):
        copy = env.path(f"read-{kind}.bin")
        tool(*login, "--read-object", "--type", kind, *selector, "-o", copy)
        expect(copy.read_bytes() == original.read_bytes(), f"the {kind} object reads back")
        tool(*login, "--delete-object", "--type", kind, *selector)
    objects = tool(*login, "--list-objects")
    expect("tool cert" not in objects and "tool data" not in objects, "both objects are gone")

    step("pkcs11-tool's self-test")
    expect("No errors" in tool("--test", *login), "pkcs11-tool --test passes")

    if pcsc_card:
        step("the same token through the built-in reader, from the card file")
        env.env.update({"KORVA_READERS": "virtual", "KORVA_CARDS": pcsc_card})
        expect("Tool test" in tool("--list-token-slots"), "the label is there")
        objects = tool(*login, "--list-objects")
        expect(all(f"gost {key_id}" in objects for _, key_id, *_ in GOST_KEYS.values()) and "aes" in objects,
               f"the key pairs and the secret key are there:\n{objects}")
        signature = env.path("signature-built-in.bin")
        tool(*login, "--sign", "--id", "22", "-m", "GOSTR3410-WITH-GOSTR3411-12-256", "-i", message, "-o", signature)
    print("all pkcs11-tool checks passed")


if __name__ == "__main__":
    main()
