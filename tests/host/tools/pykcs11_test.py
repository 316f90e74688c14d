"""A Python application on the library through Debian's PyKCS11: sessions,
login, a GOST key pair, signing and verifying, object search and attribute
reading.

usage: pykcs11_test.py <libkorva-pkcs11.so>"""
import sys

import PyKCS11
from PyKCS11 import LowLevel

from tool_env import ToolEnv, expect, pykcs11_token, step

SO_PIN, USER_PIN = "87654321", "47102958"  # a newly initialised token's user PIN
CKM_GOSTR3410_WITH_GOSTR3411_12_256 = 0xD4321008


def main():
    env = ToolEnv(sys.argv[1])
    library, slot = pykcs11_token(env, SO_PIN, "PyKCS11 test")

    step("sessions and login")
    reader = library.openSession(slot)
    writer = library.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    expect(writer.getSessionInfo().state == PyKCS11.CKS_RW_PUBLIC_SESSION, "a read-write public session")
    try:
        writer.login("0000")
        sys.exit("FAILED: a wrong PIN was accepted")
    except PyKCS11.PyKCS11Error as error:
        expect(error.value == PyKCS11.CKR_PIN_INCORRECT, "a wrong PIN gives CKR_PIN_INCORRECT")
    writer.login(USER_PIN)
    expect(reader.getSessionInfo().state == PyKCS11.CKS_RO_USER_FUNCTIONS, "login reaches every session")

    step("a GOST R 34.10-2012 key pair")
    public_template = [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, "py gost"), (PyKCS11.CKA_ID, (0x51,)),
                       (PyKCS11.CKA_VERIFY, True)]
    private_template = [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_LABEL, "py gost"),
                        (PyKCS11.CKA_ID, (0x51,)), (PyKCS11.CKA_SIGN, True)]
    public_key, private_key = writer.generateKeyPair(
        public_template, private_template, PyKCS11.Mechanism(PyKCS11.CKM_GOSTR3410_KEY_PAIR_GEN, None))

    step("sign and verify")
    message = b"signed from Python" * 10
    mechanism = PyKCS11.Mechanism(CKM_GOSTR3410_WITH_GOSTR3411_12_256, None)
    signature = bytes(writer.sign(private_key, message, mechanism))
    expect(len(signature) == 64, "a 64-byte signature")
    expect(reader.verify(public_key, message, signature, mechanism), "the signature verifies")
    expect(not reader.verify(public_key, message + b"!", signature, mechanism), "another message does not")

    step("find objects and read attributes")
    found = reader.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_ID, (0x51,))])
    expect([o.value() for o in found] == [public_key.value()], "the public key is found by class and ID")
    key_type, label, value = reader.getAttributeValue(
        public_key, [PyKCS11.CKA_KEY_TYPE, PyKCS11.CKA_LABEL, PyKCS11.CKA_VALUE])
    expect(key_type == PyKCS11.CKK_GOSTR3410, "CKA_KEY_TYPE arrives as a full-width number")
    expect(label == "py gost" and len(value) == 64, "label and public value")
    expect(len(reader.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])) == 1, "the private key is seen")
    writer.logout()
    expect(reader.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)]) == [],
           "private objects disappear at logout")
    reader.closeSession()
    writer.closeSession()
    print("all PyKCS11 checks passed")


if __name__ == "__main__":
    main()
