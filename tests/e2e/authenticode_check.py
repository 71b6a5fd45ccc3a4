#!/usr/bin/env python3
"""The vendor's Authenticode step, as docs/signing.md shows it, on a release build: a throwaway
certificate authority and code-signing certificate are made in a scratch folder, the program is
signed with osslsigncode, the signature verifies against that authority, a copy changed by one
byte does not, and the signed program still passes the import and hardening checks.

Usage: authenticode_check.py <objdump> <program.exe>"""
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run(*command, cwd):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def must(*command, cwd):
    result = run(*command, cwd=cwd)
    if result.returncode != 0:
        sys.exit(f'{" ".join(command)} failed:\n{result.stdout[-3000:]}')
    return result.stdout


def verified(program, folder):
    result = run('osslsigncode', 'verify', '-CAfile', 'ca.pem', '-in', str(program), cwd=folder)
    return result.returncode == 0 and 'Signature verification: ok' in result.stdout


def main():
    objdump, program = sys.argv[1], Path(sys.argv[2]).resolve()
    if not program.is_file():
        sys.exit(f"no program at {program}")
    with tempfile.TemporaryDirectory(prefix='brisko-authenticode-') as scratch:
        folder = Path(scratch)
        must('openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
             '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2', '-subj', '/CN=Throwaway Test CA',
             '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign', cwd=folder)
        must('openssl', 'req', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'codesign.key', '-out', 'codesign.csr',
             '-subj', '/CN=Corvane Software (test)', cwd=folder)
        (folder / 'codesign.cnf').write_text('basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n'
                                             'extendedKeyUsage=codeSigning\n')
        must('openssl', 'x509', '-req', '-in', 'codesign.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key',
             '-CAcreateserial', '-out', 'codesign.pem', '-days', '2', '-extfile', 'codesign.cnf', cwd=folder)
        signed = folder / 'trelkin.exe'
        if verified(program, folder):
            sys.exit(f'{program} already verifies before it is signed')
        # The step as the vendor runs it, less the timestamp server, which a test cannot reach.
        must('osslsigncode', 'sign', '-certs', 'codesign.pem', '-key', 'codesign.key', '-h', 'sha256',
             '-n', 'Brisko Download', '-i', 'https://www.corvane-software.com/brisko',
             '-in', str(program), '-out', str(signed), cwd=folder)
        if not verified(signed, folder):
            sys.exit('the signed program does not verify against the authority that issued its certificate')
        changed = folder / 'changed.exe'
        data = bytearray(signed.read_bytes())
        data[len(data) // 2] ^= 1
        changed.write_bytes(bytes(data))
        if verified(changed, folder):
            sys.exit('a signed program changed by one byte still verifies')
        hardening = run(sys.executable, str(HERE / 'check_executable.py'), objdump, str(signed), cwd=folder)
        print(hardening.stdout)
        if hardening.returncode != 0:
            sys.exit('the signed program no longer passes the import and hardening checks')
    print('authenticode: signed, verified, a changed byte caught, hardening intact')


if __name__ == '__main__':
    main()
