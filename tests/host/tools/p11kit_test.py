"""`cmake --install` registers the token with p11-kit: p11-kit lists the
module and p11tool (GnuTLS) finds the token, its objects and mechanisms with
no flag naming the library.

The installation goes to a private prefix and its module file to the test's
own p11-kit user folder; every module registered on the machine is switched
off there (a user module file of the same name overrides the system one), and
a preloaded guard refuses to load any other PKCS#11 library, so that only the
token's library is ever loaded. p11-kit reads no user configuration for
root, so as root the tools run as an unprivileged user.

usage: p11kit_test.py <build folder> <dlopen guard library>"""
import os
import pathlib
import shutil
import subprocess
import sys

from tool_env import ToolEnv, expect, step

SYSTEM_MODULE_FOLDERS = ("/usr/share/p11-kit/modules", "/etc/pkcs11/modules")
SWITCHED_OFF = "# switched off for the token's tests\nenable-in: korva-no-program\nmodule: /nonexistent/korva-switched-off.so\n"


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    env = ToolEnv(build / "host" / "libkorva-pkcs11.so")
    user_modules = env.folder / "home" / ".config" / "pkcs11" / "modules"
    user_modules.mkdir(parents=True)
    for folder in SYSTEM_MODULE_FOLDERS:
        for module_file in pathlib.Path(folder).glob("*.module"):
            if module_file.name != "korva.module":
                (user_modules / module_file.name).write_text(SWITCHED_OFF)

    step("cmake --install")
    install_env = dict(env.env, KORVA_P11KIT_MODULE_DIR=str(user_modules))
    subprocess.run(["cmake", "--install", str(build), "--prefix", str(env.folder / "prefix")], env=install_env,
                   check=True, stdout=subprocess.DEVNULL)
    module_file = (user_modules / "korva.module").read_text()
    prefix_library = next((env.folder / "prefix").glob("lib*/libkorva-pkcs11.so"))
    expect(f"module: {prefix_library}" in module_file, "the module file names the installed library")
    expect(next((env.folder / "prefix").glob("lib*/libkorva-token.so"), None) is not None, "the module is installed")

    step("p11-kit and p11tool")
    env.pkcs11_tool("--init-token", "--so-pin", "87654321", "--label", "p11-kit test")
    # GnuTLS lists RSA keys (it passes over GOST public keys).
    env.pkcs11_tool("--login", "--pin", "47102958", "--keypairgen", "--key-type", "rsa:1024",
                    "--label", "p11tool key", "--id", "41")
    # A copy in the test's folder, which the unprivileged user can read.
    guard = env.path("dlopen_guard.so")
    shutil.copy(sys.argv[2], guard)
    guarded = {"KORVA_DLOPEN_ALLOW": "libkorva-pkcs11.so",
               "LD_PRELOAD": ":".join(filter(None, [env.env.get("LD_PRELOAD"), str(guard)]))}
    as_user = []
    if os.getuid() == 0:
        subprocess.run(["chmod", "-R", "a+rwX", str(env.folder)], check=True)
        as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    modules = env.run(*as_user, "p11-kit", "list-modules", extra_env=guarded, exit_may_hang=True)
    expect("korva" in modules and "p11-kit test" in modules, "p11-kit lists the module and its token")
    tokens = env.run(*as_user, "p11tool", "--list-tokens", extra_env=guarded, exit_may_hang=True)
    expect("p11-kit test" in tokens and "VELTARTokenKORVA" in tokens, "p11tool lists the token")
    url = "pkcs11:token=p11-kit%20test"
    objects = env.run(*as_user, "p11tool", "--list-all", url, extra_env=guarded, exit_may_hang=True)
    expect("p11tool key" in objects, "p11tool lists the token's objects")
    mechanisms = env.run(*as_user, "p11tool", "--list-mechanisms", url, extra_env=guarded, exit_may_hang=True)
    expect("CKM_SHA256" in mechanisms and "CKM_RSA_PKCS" in mechanisms, "p11tool lists the mechanisms")
    print("all p11-kit checks passed")


if __name__ == "__main__":
    main()
