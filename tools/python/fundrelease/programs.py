"""The one way verification, signing and dist run OpenSSL and osslsigncode: bounded in time, given
bytes as private files, never the user's paths, and read back what they write."""

import os
import subprocess
import tempfile

from fundrelease.inputs import read_once

PROGRAMS = {"openssl": "openssl", "osslsigncode": "osslsigncode"}  # another build of either is named here alone


class Missing(Exception):
    def __init__(self, program):
        super().__init__(f"{program} is not installed (Debian package {program}; make bootstrap installs it)")


class Out(str):
    """An argument naming a file the program writes, read back into memory."""


def tool(program, *args, env=None, timeout=120):
    """(status, what it said, {Out: bytes}) of one bounded run; bytes reach it as a private file."""
    with tempfile.TemporaryDirectory() as work:
        argv, outs = [PROGRAMS[program]], {}
        for index, arg in enumerate(args):
            argv.append(os.path.join(work, str(index)) if isinstance(arg, (bytes, Out)) else arg)
            if isinstance(arg, bytes):
                with open(argv[-1], "wb") as f:
                    f.write(arg)
            elif isinstance(arg, Out):
                outs[arg] = argv[-1]
        # Where OpenSSL looks for trusted certificates is the caller's to say, never the environment's.
        env = env or {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_DIR", "SSL_CERT_FILE")}
        try:
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, env=env)
        except FileNotFoundError:
            raise Missing(program) from None
        except subprocess.TimeoutExpired:
            return 124, f"Error: {program} did not finish within {timeout} s", {}
        written = {name: read_once(path, 1 << 24) for name, path in outs.items() if os.path.exists(path)}
        return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace"), written


def reason(said):
    lines = [line.strip() for line in said.splitlines() if line.strip()]
    found = [line.split("lookup:", 1)[1].strip() for line in lines if "lookup:" in line]
    return (found or [line for line in lines if "rror" in line] or lines or ["no reason given"])[-1]
