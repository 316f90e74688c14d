"""What every tool test shares: a private folder with its own card file and
home folder, the library under test, and commands that fail loudly.

The tests load only the library under test into the tools: pkcs11-tool always
gets --module, p11tool either --provider or a private p11-kit configuration in
which every other registered module is switched off."""
import os
import pathlib
import subprocess
import sys
import tempfile


class ToolEnv:
    def __init__(self, library):
        self.library = str(pathlib.Path(library).resolve())
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="korva-tools-"))
        self.card = self.folder / "token.card"
        self.env = dict(os.environ)
        self.env.update({
            "KORVA_CARDS": str(self.card),
            # The card the library makes derives PIN keys cheaply.
            "KORVA_CARD_PIN_COST": "1",
            "HOME": str(self.folder / "home"),
            "XDG_CONFIG_HOME": str(self.folder / "home" / ".config"),
            # The tools' own allocations are not ours to judge.
            "ASAN_OPTIONS": "detect_leaks=0",
        })
        for name in ("XDG_DATA_HOME", "XDG_CACHE_HOME", "KORVA_PKCS11_CONFIG"):
            self.env.pop(name, None)
        preload = os.environ.get("KORVA_TEST_PRELOAD", "")
        if preload:
            # A sanitised library needs its runtime first in the tool's process.
            self.env["LD_PRELOAD"] = preload
        (self.folder / "home").mkdir()

    def path(self, name):
        return self.folder / name

    def run(self, *command, expect_ok=True, input_bytes=None, extra_env=None, exit_may_hang=False):
        """Runs a tool; `exit_may_hang`: with the sanitiser runtimes preloaded,
        p11-kit's exit handler deadlocks (also with no module loaded at all),
        after the tool has done and printed everything; such a run is ended
        after a while and judged by its output."""
        sanitised = bool(os.environ.get("KORVA_TEST_PRELOAD"))
        try:
            result = subprocess.run(list(command), env=dict(self.env, **(extra_env or {})), cwd=self.folder,
                                    input=input_bytes, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    timeout=20 if exit_may_hang and sanitised else 600)
        except subprocess.TimeoutExpired as hung:
            if not (exit_may_hang and sanitised):
                raise
            result = subprocess.CompletedProcess(command, 0, hung.stdout or b"", hung.stderr or b"")
        output = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
        if expect_ok and result.returncode != 0:
            sys.exit(f"FAILED ({result.returncode}): {' '.join(map(str, command))}\n{output}")
        if not expect_ok and result.returncode == 0:
            sys.exit(f"expected a failure: {' '.join(map(str, command))}\n{output}")
        return output

    def completed(self, *command, extra_env=None):
        """Runs a program and hands back its exit code and output, for the caller to judge."""
        return subprocess.run(list(command), env=dict(self.env, **(extra_env or {})), cwd=self.folder,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)

    def pkcs11_tool(self, *arguments, expect_ok=True):
        return self.run("pkcs11-tool", "--module", self.library, *arguments, expect_ok=expect_ok)


def expect(condition, message):
    if not condition:
        sys.exit("FAILED: " + message)


def step(title):
    print("--", title, flush=True)


def pykcs11_token(env, so_pin, label):
    """The library loaded into this process by PyKCS11 (with the test's card
    and home folder), and its first slot with a token initialised."""
    import PyKCS11
    os.environ.update({k: v for k, v in env.env.items() if k.startswith(("KORVA_", "HOME", "XDG_"))})
    library = PyKCS11.PyKCS11Lib()
    library.load(env.library)
    slot = library.getSlotList(tokenPresent=True)[0]
    library.initToken(slot, so_pin, label)
    return library, slot
