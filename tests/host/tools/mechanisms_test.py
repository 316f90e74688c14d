"""The mechanisms the library offers, tried by an application (PyKCS11) and
judged by OpenSSL: the list says what works and nothing that does not, RSA
encrypts and decrypts, AES takes 16- to 32-byte keys, the hash-and-sign RSA
mechanisms sign in one part and in several, and triple-DES and GOST 28147-89
keys are generated from the card's random numbers.

usage: mechanisms_test.py <libkorva-pkcs11.so>"""
import os
import subprocess
import sys

import PyKCS11
from PyKCS11 import LowLevel

from tool_env import ToolEnv, expect, pykcs11_token, step

SO_PIN, USER_PIN = "87654321", "47102958"  # a newly initialised token's user PIN

# mechanism: OpenSSL digest
HASH_AND_SIGN = {"CKM_SHA1_RSA_PKCS": "sha1", "CKM_SHA256_RSA_PKCS": "sha256",
                 "CKM_SHA384_RSA_PKCS": "sha384", "CKM_SHA512_RSA_PKCS": "sha512"}


def openssl(env, *arguments, input_bytes=None):
    return subprocess.run(["openssl", *map(str, arguments)], input=input_bytes, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=env.env, check=False)


def sign_in_parts(session, key, mechanism, message):
    """C_SignInit, C_SignUpdate per 100 bytes, C_SignFinal (length query, then the signature)."""
    low = session.lib
    check = lambda rv: expect(rv == PyKCS11.CKR_OK, f"multi-part signing: {PyKCS11.CKR[rv]}")
    check(low.C_SignInit(session.session, mechanism.to_native(), key))
    for start in range(0, len(message), 100):
        check(low.C_SignUpdate(session.session, LowLevel.ckbytelist(message[start:start + 100])))
    signature = LowLevel.ckbytelist()
    check(low.C_SignFinal(session.session, signature))  # the length query sizes the list
    check(low.C_SignFinal(session.session, signature))
    return bytes(signature)


def secret_key_template(extra=()):
    return [(PyKCS11.CKA_TOKEN, False), (PyKCS11.CKA_ENCRYPT, True), (PyKCS11.CKA_DECRYPT, True), *extra]


def main():
    env = ToolEnv(sys.argv[1])
    library, slot = pykcs11_token(env, SO_PIN, "mechanisms")
    session = library.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(USER_PIN)

    step("the mechanism list")
    listed = set(library.getMechanismList(slot))
    expect("CKM_RSA_X_509" not in listed, "raw RSA, which the token refuses, is not listed")
    for name in (*HASH_AND_SIGN, "CKM_DES3_KEY_GEN", "CKM_GOST28147_KEY_GEN"):
        expect(name in listed, f"{name} is listed")
    info = lambda name: library.getMechanismInfo(slot, name)
    expect({"CKF_ENCRYPT", "CKF_DECRYPT"} <= set(info("CKM_RSA_PKCS").flags2text()), "RSA-PKCS encrypts and decrypts")
    expect((info("CKM_AES_CBC").ulMinKeySize, info("CKM_AES_CBC").ulMaxKeySize) == (16, 32), "AES keys of 16 to 32 bytes")
    expect({"CKF_WRAP", "CKF_UNWRAP"} <= set(info("CKM_GOST28147_KEY_WRAP").flags2text()), "GOST key wrap flags")

    step("an RSA key pair: encryption and hash-and-sign, judged by OpenSSL")
    public_key, private_key = session.generateKeyPair(
        [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_ID, (0x61,)), (PyKCS11.CKA_MODULUS_BITS, 1024),
         (PyKCS11.CKA_ENCRYPT, True), (PyKCS11.CKA_VERIFY, True)],
        [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_ID, (0x61,)), (PyKCS11.CKA_PRIVATE, True),
         (PyKCS11.CKA_DECRYPT, True), (PyKCS11.CKA_SIGN, True)],
        PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS_KEY_PAIR_GEN, None))
    modulus, exponent = session.getAttributeValue(public_key, [PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT])
    key_pem = env.path("rsa.pem")
    key_pem.write_text(openssl(env, "pkey", "-pubin", "-inform", "DER", input_bytes=rsa_public_der(
        bytes(modulus), bytes(exponent))).stdout.decode())
    rsa_pkcs = PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS, None)
    secret = b"sealed for the card"
    sealed = openssl(env, "pkeyutl", "-encrypt", "-pubin", "-inkey", key_pem, input_bytes=secret).stdout
    expect(bytes(session.decrypt(private_key, sealed, rsa_pkcs)) == secret, "the card decrypts what OpenSSL sealed")
    sealed = bytes(session.encrypt(public_key, secret, rsa_pkcs))
    expect(bytes(session.decrypt(private_key, sealed, rsa_pkcs)) == secret, "the token's own RSA encryption opens")

    message = bytes(range(256)) * 5
    message_file = env.path("message.bin")
    message_file.write_bytes(message)
    for name, digest in HASH_AND_SIGN.items():
        mechanism = PyKCS11.Mechanism(PyKCS11.CKM[name], None)
        one_part = bytes(session.sign(private_key, message, mechanism))
        in_parts = sign_in_parts(session, private_key, mechanism, message)
        expect(one_part == in_parts, f"{name}: one part and several give the same signature")
        signature = env.path(f"{name}.sig")
        signature.write_bytes(one_part)
        verified = openssl(env, "dgst", "-" + digest, "-verify", key_pem, "-signature", signature, message_file)
        expect(b"Verified OK" in verified.stdout, f"OpenSSL verifies {name}: {verified.stdout}")
        expect(session.verify(public_key, message, one_part, mechanism), f"the token verifies {name}")
        expect(not session.verify(public_key, message + b"!", one_part, mechanism), f"{name}: other data fails")

    step("AES keys of 24 and 32 bytes, judged by OpenSSL")
    iv, plain = bytes(16), bytes(range(64))
    for length in (24, 32):
        value = bytes(range(length))
        key = session.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES),
                                    (PyKCS11.CKA_VALUE, value), *secret_key_template()])
        sealed = bytes(session.encrypt(key, plain, PyKCS11.Mechanism(PyKCS11.CKM_AES_CBC, iv)))
        reference = openssl(env, "enc", f"-aes-{length * 8}-cbc", "-K", value.hex(), "-iv", iv.hex(), "-nopad",
                            input_bytes=plain).stdout
        expect(sealed == reference, f"AES-{length * 8}-CBC matches OpenSSL")

    step("secret keys from the card's random numbers")
    for mechanism, cipher, block in ((PyKCS11.CKM_DES3_KEY_GEN, PyKCS11.CKM_DES3_CBC, 8),
                                     (PyKCS11.CKM_GOST28147_KEY_GEN, PyKCS11.CKM_GOST28147, 8)):
        first = session.generateKey(secret_key_template(), PyKCS11.Mechanism(mechanism, None))
        second = session.generateKey(secret_key_template(), PyKCS11.Mechanism(mechanism, None))
        cipher_mechanism = PyKCS11.Mechanism(cipher, bytes(block))
        sealed = bytes(session.encrypt(first, plain, cipher_mechanism))
        expect(bytes(session.decrypt(first, sealed, cipher_mechanism)) == plain, f"{PyKCS11.CKM[mechanism]} round trip")
        expect(bytes(session.encrypt(second, plain, cipher_mechanism)) != sealed, "two keys differ")
    step("the card-level trace masks the key values the card reads and writes")
    value = bytes(range(0xA0, 0xC0))
    trace = env.path("trace.txt")
    saved_stderr = os.dup(2)
    with open(trace, "wb") as sink:
        os.dup2(sink.fileno(), 2)
        os.environ["KORVA_PKCS11_TRACE"] = "2"
        try:
            key = session.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY),
                                        (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_GOST28147), (PyKCS11.CKA_VALUE, value),
                                        *secret_key_template()])
            session.encrypt(key, plain, PyKCS11.Mechanism(PyKCS11.CKM_GOST28147, bytes(8)))
        finally:
            del os.environ["KORVA_PKCS11_TRACE"]
            os.dup2(saved_stderr, 2)
    traced = trace.read_text()
    expect(" D6 " in traced and " B0 " in traced, f"the key's file is written and read:\n{traced}")
    expect(" ".join(f"{b:02X}" for b in value[:8]) not in traced, f"no key value in the trace:\n{traced}")
    print("all mechanism checks passed")


def der(tag, content):
    length = len(content)
    head = bytes([length]) if length < 0x80 else bytes([0x81, length]) if length < 0x100 else \
        bytes([0x82, length >> 8, length & 0xFF])
    return bytes([tag]) + head + content


def rsa_public_der(modulus, exponent):
    integer = lambda value: der(0x02, (b"\x00" + value) if value[0] & 0x80 else value)
    rsa_key = der(0x30, integer(modulus) + integer(exponent))
    algorithm = der(0x30, bytes.fromhex("06092a864886f70d010101") + b"\x05\x00")
    return der(0x30, algorithm + der(0x03, b"\x00" + rsa_key))


if __name__ == "__main__":
    main()
