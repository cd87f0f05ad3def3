#!/usr/bin/env python3
"""Signed launchers, end to end: real launchers packed by the real tool,
keys made here by ssh-keygen, and ssh-keygen itself as the reference for
what an allowed-signers file allows.

Run by CTest as `signing_test.py TOOL`; exit status 0 when every check
passes, 1 when one fails, 77 when ssh-keygen is missing (the reason is
printed): the checks need it to make keys, whatever the tool does itself.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
UNSIGNED, BAD_SIGNATURE, NO_ALLOWED_SIGNER = 3, 4, 5

failures = []


def check(condition, label, detail=""):
    if not condition:
        failures.append(f"{label}{': ' + detail if detail else ''}")


def run(words, env=None, stdin=None):
    return subprocess.run(words, capture_output=True, text=True, env=env, input=stdin, timeout=120)


class Workspace:
    def __init__(self, tool, root):
        self.tool = tool
        self.root = root
        self.app = os.path.join(root, "app")
        os.makedirs(os.path.join(self.app, "lib"))
        with open(os.path.join(self.app, "run"), "w") as file:
            file.write("#!/bin/sh\necho signed\n")
        os.chmod(os.path.join(self.app, "run"), 0o755)
        with open(os.path.join(self.app, "lib", "data"), "wb") as file:
            file.write(bytes(range(256)) * 64)

    def path(self, name):
        return os.path.join(self.root, name)

    def onefile(self, *arguments, env=None):
        return run([self.tool, *arguments], env=env)

    def key(self, name, kind, bits=None, comment=None):
        words = ["ssh-keygen", "-q", "-t", kind, "-N", "", "-C", comment or name, "-f", self.path(name)]
        if bits:
            words += ["-b", str(bits)]
        result = run(words)
        assert result.returncode == 0, result.stderr
        with open(self.path(name + ".pub")) as file:
            return file.read().split()[:2]  # type and base64

    def fingerprint(self, name):
        return run(["ssh-keygen", "-l", "-f", self.path(name + ".pub")]).stdout.split()[1]

    def pack(self, name, *options):
        result = self.onefile("pack", self.app, "--main", "run", "-o", self.path(name), *options)
        assert result.returncode == 0, result.stderr
        return self.path(name)

    def allowed(self, name, lines):
        with open(self.path(name), "w") as file:
            file.write("".join(line + "\n" for line in lines))
        return self.path(name)

    def digest(self, launcher):
        return json.loads(self.onefile("info", "--json", launcher).stdout)["digest"]

    def section_offset(self, launcher):
        """File offset of the payload section, from readelf."""
        result = run(["readelf", "-W", "-S", launcher])
        for line in result.stdout.splitlines():
            if "onefile_payload" in line:
                fields = line.split("]", 1)[1].split()
                return int(fields[3], 16)
        raise AssertionError(f"{launcher}: no payload section")


# Where the signature area lies in the configuration area, and its length
# field's size (format/launcher_config.h).
SIGNATURE_AREA_AT = 4672
SIGNATURE_LENGTH_BYTES = 8


def flipped(source, target, offset):
    shutil.copyfile(source, target)
    with open(target, "r+b") as file:
        file.seek(offset)
        byte = file.read(1)
        file.seek(offset)
        file.write(bytes([byte[0] ^ 0x01]))
    return target


def check_verify(w, label, launcher, allowed, status, text, identity=None, env=None):
    words = ["verify", launcher, "--allowed-signers", allowed] + (["--identity", identity] if identity else [])
    result = w.onefile(*words, env=env)
    check(result.returncode == status, label, f"exit {result.returncode}, not {status}: {result.stderr.strip()}")
    output = result.stdout if status == 0 else result.stderr
    check(text in output, label, f"{text!r} not in {output!r}")


def test_sign_and_verify(w):
    ed = w.key("ed", "ed25519")
    ecdsa = w.key("ecdsa", "ecdsa")
    w.key("other", "ed25519")
    signers = w.allowed("signers", ["# who signs", "", f"alice {' '.join(ed)}",
                                    f'"bob,*@example.com" {" ".join(ecdsa)} a comment'])
    only_other = w.allowed("only-other", ["alice " + open(w.path("other.pub")).read().strip()])

    at_pack = w.pack("at-pack", "--sign", w.path("ed"))
    unsigned = w.pack("unsigned")
    after = w.pack("after")
    check(w.digest(after) == w.digest(unsigned), "the same application packs to the same digest")
    result = w.onefile("sign", after, "--key", w.path("ecdsa"))
    check(result.returncode == 0, "sign after pack", result.stderr)
    check(w.digest(after) == w.digest(unsigned), "signing leaves the digest as it was")
    check(os.path.getsize(after) == os.path.getsize(unsigned), "signing leaves the size as it was")

    ed_key = f"ssh-ed25519 key {w.fingerprint('ed')}"
    ecdsa_key = f"ecdsa-sha2-nistp256 key {w.fingerprint('ecdsa')}"
    # ssh-ed25519 is checked by the tool, ECDSA by ssh-keygen: the same cases
    # give the same outcome.
    for label, launcher, key, principal in [("ed25519, signed at pack", at_pack, ed_key, "alice"),
                                            ("ecdsa, signed after", after, ecdsa_key, "bob")]:
        # Without --identity the signer is the first principal of the line
        # that allows the key.
        check_verify(w, f"{label}: good", launcher, signers, 0, f"OK, signed by {principal} with {key}")
        check_verify(w, f"{label}: good for its identity", launcher, signers, 0,
                     f"OK, signed by {principal} with {key}", identity=principal)
        check_verify(w, f"{label}: wrong identity", launcher, signers, NO_ALLOWED_SIGNER,
                     f"no allowed signer: {key} is not allowed for the identity mallory", identity="mallory")
        check_verify(w, f"{label}: wrong key", launcher, only_other, NO_ALLOWED_SIGNER,
                     f"no allowed signer: {key} is not in {only_other}")
        plain = w.onefile("verify", launcher)
        check(plain.returncode == 0 and plain.stdout == f"{launcher}: OK, signed with {key} "
              "(not checked: no --allowed-signers)\n", f"{label}: without --allowed-signers", plain.stdout)
        info = w.onefile("info", launcher)
        check(f"signature: {key}\n" in info.stdout, f"{label}: info", info.stdout)
        key_type, fingerprint = key.split(" key ")
        check(json.loads(w.onefile("info", "--json", launcher).stdout)["signature"] ==
              {"key_type": key_type, "fingerprint": fingerprint}, f"{label}: info --json")
    check_verify(w, "a wildcard principal", after, signers, 0, "signed by carol@example.com",
                 identity="carol@example.com")

    check_verify(w, "unsigned", unsigned, signers, UNSIGNED, "is not signed")
    plain = w.onefile("verify", unsigned)
    check(plain.returncode == 0 and plain.stdout == f"{unsigned}: OK\n", "unsigned without --allowed-signers",
          plain.stdout)
    check("signature: unsigned\n" in w.onefile("info", unsigned).stdout, "info of an unsigned launcher")
    check(json.loads(w.onefile("info", "--json", unsigned).stdout)["signature"] is None, "info --json, unsigned")
    result = w.onefile("signature", unsigned)
    check(result.returncode == UNSIGNED and result.stdout == "" and "is not signed" in result.stderr,
          "signature of an unsigned launcher", result.stderr)
    return signers


def test_what_ssh_keygen_sees(w, signers):
    """The armored signature is ssh-keygen's own, byte for byte, and
    ssh-keygen alone checks it against the digest info prints."""
    launcher = w.path("at-pack")
    message = w.digest(launcher) + "\n"
    printed = w.onefile("signature", launcher).stdout
    # Ed25519 signatures are deterministic: the same key signs the same
    # message to the same bytes.
    reference = run(["ssh-keygen", "-Y", "sign", "-n", "onefile", "-f", w.path("ed")], stdin=message).stdout
    check(printed == reference, "signature prints what ssh-keygen -Y sign writes", f"{printed!r} != {reference!r}")
    with open(w.path("at-pack.sig"), "w") as file:
        file.write(printed)
    result = run(["ssh-keygen", "-Y", "verify", "-f", signers, "-I", "alice", "-n", "onefile", "-s",
                  w.path("at-pack.sig")], stdin=message)
    check(result.returncode == 0, "ssh-keygen -Y verify of the printed signature", result.stderr + result.stdout)
    result = run(["ssh-keygen", "-Y", "verify", "-f", signers, "-I", "alice", "-n", "git", "-s",
                  w.path("at-pack.sig")], stdin=message)
    check(result.returncode != 0, "ssh-keygen refuses the signature in another namespace")


def test_changed_bytes(w, signers):
    launcher = w.path("at-pack")
    section = w.section_offset(launcher)
    area = section + SIGNATURE_AREA_AT
    with open(launcher, "rb") as file:
        file.seek(area)
        length = int.from_bytes(file.read(SIGNATURE_LENGTH_BYTES), "little")
    cases = [
        ("a byte of the payload", section + 8192 + 20, 1, "digest does not match"),
        ("a byte of the stub's code", 0x1100, 1, "digest does not match"),
        ("a byte of the signature", area + SIGNATURE_LENGTH_BYTES + length - 10, BAD_SIGNATURE,
         "bad signature: the signature of ssh-ed25519 key"),
        ("the key in the signature", area + SIGNATURE_LENGTH_BYTES + 40, BAD_SIGNATURE, "bad signature"),
        ("the signature's length", area, BAD_SIGNATURE, "bad signature: the signature area"),
        ("a byte after the signature", area + SIGNATURE_LENGTH_BYTES + length + 5, BAD_SIGNATURE,
         "bad signature: the signature area holds bytes after its signature"),
    ]
    for label, offset, status, text in cases:
        changed = flipped(launcher, w.path("changed"), offset)
        check_verify(w, f"changed {label}", changed, signers, status, text)


def test_damaged_areas(w, signers):
    """Garbage and a block cut short in the signature area are refused with
    a message by every reader, never a crash."""
    launcher = w.path("at-pack")
    area = w.section_offset(launcher) + SIGNATURE_AREA_AT
    with open(launcher, "rb") as file:
        file.seek(area + SIGNATURE_LENGTH_BYTES)
        blob = file.read(300).rstrip(b"\0")
    cases = [
        ("garbage", (100).to_bytes(8, "little") + bytes(range(100)), "does not start with SSHSIG"),
        ("a signature cut short", (len(blob) - 20).to_bytes(8, "little") + blob[:-20], "ends inside a field"),
        ("a length beyond the area", (1 << 63).to_bytes(8, "little"), "more than its 3512"),
    ]
    for label, content, text in cases:
        damaged = w.path("damaged")
        shutil.copyfile(launcher, damaged)
        with open(damaged, "r+b") as file:
            file.seek(area)
            file.write(content + bytes(3520 - len(content)))
        check_verify(w, f"{label}: verify", damaged, signers, BAD_SIGNATURE, text)
        for command in (["info"], ["info", "--json"], ["signature"]):
            result = w.onefile(*command, damaged)
            check(result.returncode == 1 and result.stderr.startswith(f"onefile: {damaged}: ") and text in result.stderr,
                  f"{label}: {' '.join(command)}", f"{result.returncode} {result.stderr!r}")


def test_resigning_and_files(w, signers):
    launcher = w.path("resigned")
    shutil.copyfile(w.path("at-pack"), launcher)
    os.chmod(launcher, 0o750)
    result = w.onefile("sign", launcher, "--key", w.path("other"))
    check(result.returncode == 0, "sign a signed launcher again", result.stderr)
    check(f"signature: ssh-ed25519 key {w.fingerprint('other')}" in w.onefile("info", launcher).stdout,
          "re-signing replaces the signature")
    check_verify(w, "the old signer is gone", launcher, signers, NO_ALLOWED_SIGNER, "is not in")
    check(os.stat(launcher).st_mode & 0o7777 == 0o750, "sign keeps the launcher's mode")
    check(not [name for name in os.listdir(w.root) if ".tmp-" in name], "sign leaves no temporary file")
    check(run([launcher]).stdout == "signed\n", "a signed launcher runs")

    link = w.path("link-to-resigned")
    os.symlink("resigned", link)
    result = w.onefile("sign", link, "--key", w.path("ed"))
    check(result.returncode == 0 and os.path.islink(link), "sign through a link signs what it leads to", result.stderr)
    check_verify(w, "signed through a link", launcher, signers, 0, "signed by alice")

    changed = flipped(w.path("unsigned"), w.path("unverified"), w.section_offset(w.path("unsigned")) + 8192 + 20)
    before = open(changed, "rb").read()
    result = w.onefile("sign", changed, "--key", w.path("ed"))
    check(result.returncode == 1 and "only a launcher that verifies is signed" in result.stderr,
          "a launcher that does not verify is not signed", result.stderr)
    check(open(changed, "rb").read() == before, "a refused sign leaves the launcher as it was")
    result = w.onefile("sign", w.path("unsigned"), "--key", w.path("missing-key"))
    check(result.returncode == 1 and "missing-key" in result.stderr, "a key that is not there", result.stderr)

    block = w.path("block")
    with open(block, "wb") as file:
        file.write(b"ZQX\0" + (4).to_bytes(8, "little"))
    result = w.onefile("attach", block, "-o", w.path("attached"), "--sign", w.path("ed"))
    check(result.returncode == 0, "attach --sign", result.stderr)
    check_verify(w, "attach --sign", w.path("attached"), signers, 0, "signed by alice")

    stripped = w.path("stripped")
    if shutil.which("strip"):
        result = run(["strip", "-o", stripped, w.path("at-pack")])
        check(result.returncode == 0, "strip", result.stderr)
        check_verify(w, "a stripped launcher keeps its signature", stripped, signers, 0, "signed by alice")
    else:
        print("note: no strip here (binutils); the stripped launcher is not checked")


def test_allowed_signers_options(w):
    """Each option of an allowed-signers line, for the key the tool checks
    itself and for one ssh-keygen checks: the tool and ssh-keygen agree."""
    launchers = {"ssh-ed25519": w.path("at-pack"), "ecdsa": w.path("after")}
    keys = {"ssh-ed25519": " ".join(open(w.path("ed.pub")).read().split()[:2]),
            "ecdsa": " ".join(open(w.path("ecdsa.pub")).read().split()[:2])}
    signatures, messages = {}, {}
    for kind, launcher in launchers.items():
        signatures[kind] = w.path(f"{kind}.sig")
        with open(signatures[kind], "w") as file:
            file.write(w.onefile("signature", launcher).stdout)
        messages[kind] = w.digest(launcher) + "\n"
    past = time.strftime("%Y%m%d", time.gmtime(time.time() - 86400 * 3))
    future = time.strftime("%Y%m%d", time.gmtime(time.time() + 86400 * 3))
    options = [
        ("no options", "", 0),
        ("its namespace", 'namespaces="onefile"', 0),
        ("a namespace list with a pattern", 'namespaces="git,one*"', 0),
        ("another namespace", 'namespaces="git"', NO_ALLOWED_SIGNER),
        ("a namespace excluded", 'namespaces="*,!onefile"', NO_ALLOWED_SIGNER),
        ("valid since the past", f'valid-after="{past}"', 0),
        ("valid from the future", f'valid-after="{future}Z"', NO_ALLOWED_SIGNER),
        ("expired", f'valid-before="{past}0000Z"', NO_ALLOWED_SIGNER),
        ("valid until the future", f'valid-before="{future}120000",namespaces="onefile"', 0),
        ("options in any letter case", f'NameSpaces="onefile",Valid-Before="{future}"', 0),
        ("a certificate authority's key", "cert-authority", NO_ALLOWED_SIGNER),
    ]
    for label, option, status in options:
        for kind, launcher in launchers.items():
            allowed = w.allowed("options", [f"alice {option + ' ' if option else ''}{keys[kind]}"])
            result = w.onefile("verify", launcher, "--allowed-signers", allowed, "--identity", "alice")
            check(result.returncode == status, f"{label}, {kind}",
                  f"exit {result.returncode}, not {status}: {result.stderr.strip()}")
            reference = run(["ssh-keygen", "-Y", "verify", "-f", allowed, "-I", "alice", "-n", "onefile", "-s",
                             signatures[kind]], stdin=messages[kind])
            check((reference.returncode == 0) == (status == 0), f"{label}, {kind}: ssh-keygen agrees",
                  reference.stderr + reference.stdout)
    # Identities against principal patterns, and a negated pattern.
    # Identities against principal patterns: an excluding pattern wins over
    # any other that matches.
    for identity, status in [("ann", 0), ("alice", NO_ALLOWED_SIGNER), ("albert", NO_ALLOWED_SIGNER),
                             ("bob", NO_ALLOWED_SIGNER)]:
        for kind, launcher in launchers.items():
            allowed = w.allowed("patterns", [f"a*,!al*,alice {keys[kind]}"])
            result = w.onefile("verify", launcher, "--allowed-signers", allowed, "--identity", identity)
            check(result.returncode == status, f"identity {identity} against a*,!al*,alice, {kind}",
                  f"exit {result.returncode}, not {status}: {result.stderr.strip()}")
            reference = run(["ssh-keygen", "-Y", "verify", "-f", allowed, "-I", identity, "-n", "onefile", "-s",
                             signatures[kind]], stdin=messages[kind])
            check((reference.returncode == 0) == (status == 0), f"identity {identity}, {kind}: ssh-keygen agrees",
                  reference.stderr + reference.stdout)


def test_certificates(w):
    """A certificate goes through ssh-keygen: its authority's line allows it,
    and info names the certified key's own fingerprint, as ssh-keygen does.
    An RSA-4096 key certified by an RSA-4096 authority makes about the
    largest signature in common use; it fits the area."""
    w.key("ca", "rsa", 4096)
    w.key("big", "rsa", 4096)
    result = run(["ssh-keygen", "-q", "-s", w.path("ca"), "-I", "release key", "-n", "release,ci@example.com",
                  w.path("big.pub")])
    assert result.returncode == 0, result.stderr
    launcher = w.pack("certified", "--sign", w.path("big-cert.pub"))
    allowed = w.allowed("authority", ["release,ci@example.com cert-authority " +
                                      " ".join(open(w.path("ca.pub")).read().split()[:2])])
    key = f"ssh-rsa-cert-v01@openssh.com key {w.fingerprint('big')}"
    check_verify(w, "certificate", launcher, allowed, 0, f"OK, signed by release with {key}", identity="release")
    check_verify(w, "certificate, a principal it does not name", launcher, w.allowed("authority-other", [
        "other cert-authority " + " ".join(open(w.path("ca.pub")).read().split()[:2])]),
        NO_ALLOWED_SIGNER, "is not in")
    check(f"signature: {key}\n" in w.onefile("info", launcher).stdout, "info of a certificate's signature")


def test_agent_key(w, signers):
    """A key with a passphrase, held by an agent of the test's own: sign
    names its public key, and ssh-keygen asks the agent."""
    if not shutil.which("ssh-agent") or not shutil.which("ssh-add"):
        print("note: no ssh-agent or ssh-add here (openssh-client); the agent's key is not checked")
        return
    result = run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "a passphrase", "-C", "held", "-f", w.path("held")])
    assert result.returncode == 0, result.stderr
    socket = w.path("agent.sock")
    agent = subprocess.Popen(["ssh-agent", "-D", "-a", socket], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if os.path.exists(socket):
                break
            time.sleep(0.05)
        askpass = w.path("askpass")
        with open(askpass, "w") as file:
            file.write("#!/bin/sh\necho 'a passphrase'\n")
        os.chmod(askpass, 0o700)
        env = dict(os.environ, SSH_AUTH_SOCK=socket, SSH_ASKPASS=askpass, SSH_ASKPASS_REQUIRE="force")
        env.pop("DISPLAY", None)
        result = subprocess.run(["ssh-add", w.path("held")], env=env, capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, timeout=30)
        assert result.returncode == 0, result.stderr
        launcher = w.path("held-launcher")
        shutil.copyfile(w.path("unsigned"), launcher)
        # No askpass now: only the agent can sign.
        env = dict(os.environ, SSH_AUTH_SOCK=socket)
        result = w.onefile("sign", launcher, "--key", w.path("held.pub"), env=env)
        check(result.returncode == 0, "sign with a key the agent holds", result.stderr)
        allowed = w.allowed("held-signers", ["held " + " ".join(open(w.path("held.pub")).read().split()[:2])])
        check_verify(w, "signed by the agent", launcher, allowed, 0, "signed by held with ssh-ed25519 key")
    finally:
        agent.terminate()
        agent.wait()


def test_without_ssh_keygen(w, signers):
    """Without ssh-keygen, ssh-ed25519 signatures are still checked; signing
    and other key types say what to install."""
    bare = w.path("bare-bin")
    os.mkdir(bare)
    env = dict(os.environ, PATH=bare)
    check_verify(w, "ssh-ed25519 without ssh-keygen", w.path("at-pack"), signers, 0, "signed by alice", env=env)
    for label, words in [("sign", ["sign", w.path("unsigned"), "--key", w.path("ed")]),
                         ("pack --sign", ["pack", w.app, "--main", "run", "-o", w.path("never"), "--sign", w.path("ed")]),
                         ("verify of an ECDSA signature", ["verify", w.path("after"), "--allowed-signers", signers])]:
        result = w.onefile(*words, env=env)
        check(result.returncode == 1 and "onefile: ssh-keygen: not found" in result.stderr and
              "openssh-client" in result.stderr, f"{label} without ssh-keygen", result.stderr)
    check(not os.path.exists(w.path("never")), "pack --sign without ssh-keygen writes nothing")


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} TOOL", file=sys.stderr)
        return 2
    if not shutil.which("ssh-keygen"):
        print("SKIPPED: ssh-keygen is missing (Debian package openssh-client): the keys are made with it, "
              "and it is the reference the tool is checked against")
        return SKIPPED
    os.umask(0o022)
    root = tempfile.mkdtemp(prefix="onefile-signing-")
    try:
        w = Workspace(os.path.abspath(sys.argv[1]), root)
        signers = test_sign_and_verify(w)
        test_what_ssh_keygen_sees(w, signers)
        test_changed_bytes(w, signers)
        test_damaged_areas(w, signers)
        test_resigning_and_files(w, signers)
        test_allowed_signers_options(w)
        test_certificates(w)
        test_agent_key(w, signers)
        test_without_ssh_keygen(w, signers)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    for failure in failures:
        print(f"FAILED: {failure}")
    if failures:
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
