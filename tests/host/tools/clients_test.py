"""The clients people use with a token, each on the library through its own
PKCS#11 loading, on a token that holds GOST keys beside the RSA key they use:
OpenSSL through its PKCS#11 engine, GnuTLS's certtool, OpenSSH (ssh-keygen
and ssh-agent), NSS's modutil and certutil, and p11-kit's remoting with
pkcs11-tool on the far side. Every signature is judged by plain OpenSSL or
by the client's own verifier.

usage: clients_test.py <libkorva-pkcs11.so>"""
import glob
import os
import re
import signal
import subprocess
import sys
import time

from tool_env import ToolEnv, expect, step

SO_PIN, USER_PIN = "87654321", "47102958"  # a newly initialised token's user PIN
LABEL = "clients"
KEY_URI = f"pkcs11:token={LABEL};object=client%20key;type=private"
P11KIT_CLIENT = next(iter(glob.glob("/usr/lib/*/pkcs11/p11-kit-client.so")), "p11-kit-client.so")


class Background:
    """A service started for one step, kept by its process id and stopped by
    that id however the step ends."""

    def __init__(self, env, *command):
        self.process = subprocess.Popen(list(map(str, command)), env=env.env, cwd=env.folder,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()


def wait_for(path, what):
    for _ in range(200):
        if path.exists():
            return
        time.sleep(0.05)
    sys.exit(f"FAILED: {what} did not appear")


def openssl_engine(env, message, public_pem):
    step("OpenSSL through its PKCS#11 engine: a self-signed certificate and a signature")
    config = env.path("openssl.cnf")
    config.write_text(f"""openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = {env.library}
PIN = {USER_PIN}
init = 0
""")
    engine = {"OPENSSL_CONF": str(config)}
    certificate, signature = env.path("engine-cert.pem"), env.path("engine.sig")
    env.run("openssl", "req", "-new", "-x509", "-engine", "pkcs11", "-keyform", "engine", "-key", KEY_URI,
            "-subj", "/CN=token certificate", "-days", "1", "-sha256", "-out", certificate, extra_env=engine)
    verified = env.run("openssl", "verify", "-CAfile", certificate, certificate)
    expect(f"{certificate}: OK" in verified, "OpenSSL accepts the certificate the token signed")
    env.run("openssl", "dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-sign", KEY_URI,
            "-out", signature, message, extra_env=engine)
    verified = env.run("openssl", "dgst", "-sha256", "-verify", public_pem, "-signature", signature, message)
    expect("Verified OK" in verified, "OpenSSL verifies the engine's signature")
    return certificate


def gnutls_certtool(env):
    step("GnuTLS: certtool --generate-self-signed with the token's key")
    template, certificate = env.path("certtool.tmpl"), env.path("certtool-cert.pem")
    template.write_text('cn = "certtool on the token"\nexpiration_days = 1\nsigning_key\n')
    env.run("certtool", "--provider", env.library, "--generate-self-signed", "--load-privkey",
            f"{KEY_URI};pin-value={USER_PIN}", "--template", template, "--outfile", certificate,
            exit_may_hang=True)
    verified = env.run("openssl", "verify", "-CAfile", certificate, certificate)
    expect(f"{certificate}: OK" in verified, "OpenSSL accepts certtool's certificate")


def openssh(env, message):
    step("OpenSSH: ssh-keygen -D, ssh-agent with ssh-add -s, ssh-keygen -Y sign and verify")
    listed = env.run("ssh-keygen", "-D", env.library)
    expect(re.search(r"^ssh-rsa AAAA", listed, re.M), f"ssh-keygen lists the RSA key:\n{listed}")
    socket, askpass = env.path("agent.sock"), env.path("askpass.sh")
    askpass.write_text(f"#!/bin/sh\necho {USER_PIN}\n")
    askpass.chmod(0o700)
    agent_env = {"SSH_AUTH_SOCK": str(socket), "SSH_ASKPASS": str(askpass), "SSH_ASKPASS_REQUIRE": "force",
                 "DISPLAY": ":0"}
    agent = env
    if env.env.get("LD_PRELOAD"):
        # The agent runs set-group-ID, so the C library drops LD_PRELOAD: its
        # PKCS#11 helper gets the sanitiser runtimes through a wrapper.
        helper = env.path("pkcs11-helper.sh")
        helper.write_text(f"#!/bin/sh\nLD_PRELOAD={env.env['LD_PRELOAD']} exec /usr/lib/openssh/ssh-pkcs11-helper \"$@\"\n")
        helper.chmod(0o755)
        agent = ToolEnv.__new__(ToolEnv)
        agent.__dict__.update(env.__dict__, env=dict(env.env, SSH_PKCS11_HELPER=str(helper)))
    with Background(agent, "ssh-agent", "-D", "-a", socket, "-P", env.library):
        wait_for(socket, "the agent's socket")
        env.run("ssh-add", "-s", env.library, extra_env=agent_env, input_bytes=b"")
        public = env.run("ssh-add", "-L", extra_env=agent_env).splitlines()[0]
        key_file, signers = env.path("agent-key.pub"), env.path("allowed_signers")
        key_file.write_text(public + "\n")
        signers.write_text(f"token@example {public}\n")
        env.run("ssh-keygen", "-Y", "sign", "-f", key_file, "-n", "file", message, extra_env=agent_env)
    verified = env.run("ssh-keygen", "-Y", "verify", "-f", signers, "-I", "token@example", "-n", "file", "-s",
                       f"{message}.sig", input_bytes=message.read_bytes())
    expect("Good \"file\" signature" in verified, f"ssh-keygen verifies the agent's signature: {verified}")


def nss(env):
    step("NSS: modutil registers the library, certutil lists certificates and keys")
    database, password = env.path("nssdb"), env.path("pin.txt")
    database.mkdir()
    password.write_text(USER_PIN + "\n")
    db = f"sql:{database}"
    env.run("modutil", "-dbdir", db, "-create", "-force", input_bytes=b"")
    env.run("modutil", "-dbdir", db, "-add", "korva", "-libfile", env.library, "-force", input_bytes=b"")
    expect(LABEL in env.run("modutil", "-dbdir", db, "-list", "korva"), "modutil lists the token")
    certificates = env.run("certutil", "-d", db, "-L", "-h", "all")
    expect(f"{LABEL}:client cert" in certificates, f"certutil lists the token's certificate:\n{certificates}")
    keys = env.run("certutil", "-d", db, "-K", "-h", "all", "-f", password)
    expect("rsa" in keys and "client" in keys, f"certutil lists the token's keys:\n{keys}")


def p11kit_remoting(env):
    step("p11-kit server: pkcs11-tool through p11-kit-client.so")
    remote = ToolEnv(env.library)  # a card of its own
    socket = remote.path("p11-kit.sock")
    with Background(remote, "p11-kit", "server", "-f", "-n", socket, "--provider", remote.library, "pkcs11:"):
        wait_for(socket, "p11-kit's socket")
        # The client side runs only p11-kit's code: no sanitiser runtimes there.
        client = {"P11_KIT_SERVER_ADDRESS": f"unix:path={socket}", "LD_PRELOAD": ""}
        tool = lambda *arguments, **options: remote.run("pkcs11-tool", "--module", P11KIT_CLIENT, *arguments,
                                                        extra_env=client, exit_may_hang=True, **options)
        tool("--init-token", "--so-pin", SO_PIN, "--label", "remote")
        login = ("--login", "--pin", USER_PIN)
        tool(*login, "--keypairgen", "--key-type", "rsa:1024", "--id", "31", "--label", "remote key")
        message, signature = remote.path("remote.txt"), remote.path("remote.sig")
        message.write_bytes(b"signed across p11-kit's remoting\n")
        tool(*login, "--sign", "--id", "31", "-m", "SHA256-RSA-PKCS", "-i", message, "-o", signature)
        verified = tool(*login, "--verify", "--id", "31", "-m", "SHA256-RSA-PKCS", "-i", message,
                        "--signature-file", signature)
        expect("Signature is valid" in verified, "the signature made through p11-kit verifies")


def main():
    env = ToolEnv(sys.argv[1])
    tool = env.pkcs11_tool
    login = ("--login", "--pin", USER_PIN)
    tool("--init-token", "--so-pin", SO_PIN, "--label", LABEL)
    tool(*login, "--keypairgen", "--key-type", "GOSTR3410-2012-256:A", "--id", "11", "--label", "gost key")
    tool(*login, "--keypairgen", "--key-type", "rsa:1024", "--id", "01", "--label", "client key")
    public_der, public_pem = env.path("client.der"), env.path("client.pem")
    tool("--read-object", "--type", "pubkey", "--id", "01", "-o", public_der)
    env.run("openssl", "pkey", "-pubin", "-inform", "DER", "-in", public_der, "-out", public_pem)
    message = env.path("message.txt")
    message.write_bytes(b"signed by the clients people use\n" * 20)

    # Debian 12's engine (libp11 0.4.12) gives up listing private keys at the
    # first one of a type it does not know: with a GOST private key on the
    # token it finds no RSA key either. Its steps run while the token holds
    # the GOST public key only; the GOST key pair is whole again for the others.
    tool(*login, "--delete-object", "--type", "privkey", "--id", "11")
    certificate = openssl_engine(env, message, public_pem)
    tool(*login, "--keypairgen", "--key-type", "GOSTR3410-2012-256:A", "--id", "12", "--label", "gost key 2")
    certificate_der = env.path("client-cert.der")
    env.run("openssl", "x509", "-in", certificate, "-outform", "DER", "-out", certificate_der)
    tool(*login, "--write-object", certificate_der, "--type", "cert", "--id", "01", "--label", "client cert")
    gnutls_certtool(env)
    openssh(env, message)
    nss(env)
    p11kit_remoting(env)
    print("all client checks passed")


if __name__ == "__main__":
    main()
