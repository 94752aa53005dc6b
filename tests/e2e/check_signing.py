"""The release signed with a throwaway authority's certificates, from a PKCS#12
file and from a SoftHSM2 token through PKCS#11: the zip's renumber.exe
verifies, fails once a byte changes, matches SHA256SUMS and completes under
Wine; an ECC key is refused; the password is on no command line (all traced).
Usage: check_signing.py SOURCE_DIR"""

import os
import subprocess
import sys
import tempfile
import zipfile

import reference
from cases import DONE
from desktop import Xvfb, require
from harness import CaseFolder, Wine, report
from run_wine import WinePrefix

PASSWORD = "throwaway-4821"  # of the PKCS#12 files, and the token's PIN
SIGNED = "renumber.exe is signed"
DATA = b'"A01","name","dept","99","note"\r\n'
SIGNERS = f"""echo {PASSWORD} >password; mkdir tokens; echo "directories.tokendir=$PWD/tokens" >conf
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=CA
for key in rsa:rsa_keygen_bits:2048 ec:ec_paramgen_curve:P-256; do
  openssl req -x509 -CA ca.pem -CAkey ca.key -newkey ${{key%%:*}} -pkeyopt ${{key#*:}} -nodes \\
    -keyout ${{key%%:*}}.key -out ${{key%%:*}}.pem -subj /CN=publisher \\
    -addext basicConstraints=CA:FALSE -addext extendedKeyUsage=codeSigning
  openssl pkcs12 -export -inkey ${{key%%:*}}.key -in ${{key%%:*}}.pem -out ${{key%%:*}}.p12 \\
    -passout file:password
done
softhsm2-util --init-token --free --label renumber --so-pin {PASSWORD} --pin {PASSWORD}
softhsm2-util --import rsa.key --token renumber --label key --id 01 --pin {PASSWORD}"""


def release(source, d, signer, says, wine):
    folder = tempfile.mkdtemp(dir=d)
    env = {name: value for name, value in os.environ.items() if not name.startswith("RENUMBER_")}
    done = subprocess.run(["strace", "-f", "-qq", "--seccomp-bpf", "-e", "trace=execve", "-s",
                           "4096", "-o", f"{folder}/traced", "tools/release.sh", folder],
                          cwd=source, env=dict(env, SOFTHSM2_CONF=f"{d}/conf", **signer),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    output = done.stdout + done.stderr
    with open(f"{folder}/traced") as f:
        traced = f.read()
    if says not in output or (done.returncode == 0) != (says == SIGNED) or \
            PASSWORD in output + traced or "-readpass" not in traced:
        return [f"status {done.returncode}, the password seen or not read from its file, or not "
                f"{says!r}: {output[-1500:]}"]
    if says != SIGNED:
        return []
    with zipfile.ZipFile(f"{folder}/renumber-1.00-win64.zip") as z:
        program = z.extract("renumber.exe", folder)
    with open(program, "rb") as f, open(f"{program}.changed.exe", "wb") as changed:
        data = bytearray(f.read())
        data[len(data) // 4] ^= 1
        changed.write(data)
    verified = [subprocess.run(["osslsigncode", "verify", "-CAfile", f"{d}/ca.pem", "-in", path],
                               capture_output=True).returncode == 0
                for path in (program, f"{program}.changed.exe")]
    run = CaseFolder(program, data=DATA, app=f"{folder}/run")
    try:
        status, shown, _ = wine.outcome(run)
        output = run.read("data2.dat")
    finally:
        run.remove()
    if verified != [True, False] or subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder,
                                                   capture_output=True).returncode or \
            (status, shown, output) != (0, DONE + "\n", reference.convert(DATA)[0]):
        return [f"verified, then with a byte changed: {verified}; SHA256SUMS; under Wine: exit "
                f"status {status}, shown {shown!r}, or data2.dat wrong"]
    return []


def main():
    require("osslsigncode", "openssl", "softhsm2-util", "strace", "wine", "Xvfb", "xdotool")
    source = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="renumber-signing-") as d:
        subprocess.run(["bash", "-e", "-c", SIGNERS], cwd=d, check=True, capture_output=True,
                       env=dict(os.environ, SOFTHSM2_CONF=f"{d}/conf"))
        p12 = dict(RENUMBER_SIGN_PASSWORD_FILE=f"{d}/password", RENUMBER_SIGN_PKCS12=f"{d}/rsa.p12")
        rows = [("a PKCS#12 file", p12, SIGNED),
                ("a key on a PKCS#11 token", dict(p12, RENUMBER_SIGN_PKCS12="",
                 RENUMBER_SIGN_PKCS11_MODULE="/usr/lib/softhsm/libsofthsm2.so",
                 RENUMBER_SIGN_KEY="pkcs11:token=renumber;object=key;type=private",
                 RENUMBER_SIGN_CERT=f"{d}/rsa.pem"), SIGNED),
                ("an ECC key", dict(p12, RENUMBER_SIGN_PKCS12=f"{d}/ec.p12"),
                 "Smart App Control accepts RSA signatures only")]
        with Xvfb() as screen:
            prefix = WinePrefix(screen)
            try:
                wine = Wine(screen, prefix.env, "")
                return report([(f"a release with {name}", release(source, d, signer, says, wine))
                               for name, signer, says in rows])
            finally:
                prefix.close()


if __name__ == "__main__":
    sys.exit(main())
