"""Certificates for the HTTPS tests and the bench, made with openssl in a folder of their own: a certificate
authority that the test makes trusted in its Wine prefix (and no other), the server certificates
it issues, and an authority nobody trusts."""
import datetime
import subprocess
from pathlib import Path

CONFIG = """
[ca]
default_ca = authority
[authority]
dir = {dir}
database = {dir}/index.txt
serial = {dir}/serial
new_certs_dir = {dir}
certificate = {dir}/ca.pem
private_key = {dir}/ca.key
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = {names}
"""


def openssl(*words, cwd):
    done = subprocess.run(['openssl', *words], cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f'openssl {words[0]} failed: {done.stderr.strip()}')


class TestAuthority:
    """A certificate authority in `folder` (which the caller removes), named `name`."""

    def __init__(self, folder, name):
        self.dir = Path(folder) / name.replace(' ', '-')
        self.dir.mkdir(parents=True)
        (self.dir / 'index.txt').write_text('')
        (self.dir / 'serial').write_text('1000\n')
        openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '3',
                '-subj', f'/CN={name}', '-addext', 'basicConstraints=critical,CA:TRUE',
                '-addext', 'keyUsage=critical,keyCertSign,cRLSign', cwd=self.dir)
        openssl('x509', '-in', 'ca.pem', '-outform', 'DER', '-out', 'ca.der', cwd=self.dir)
        self.der = self.dir / 'ca.der'

    def issue(self, file_name, host, valid=None, chain=False):
        """A server certificate for `host` (an IP address or a DNS name), valid from a day ago for
        three days unless `valid` gives (from, until) datetimes; (certificate, key) files. With
        `chain`, the file holds the authority's certificate after the server's, as a server sends
        its chain."""
        now = datetime.datetime.now(datetime.timezone.utc)
        start, end = valid or (now - datetime.timedelta(days=1), now + datetime.timedelta(days=3))
        # An address is named twice: Windows matches it as an IP address entry, Wine 8 only as a
        # DNS name entry (it reads no IP address entries).
        names = f'IP:{host},DNS:{host}' if host.replace('.', '').isdigit() else f'DNS:{host}'
        config = self.dir / f'{file_name}.cnf'
        config.write_text(CONFIG.format(dir=self.dir, names=names))
        openssl('req', '-new', '-newkey', 'rsa:2048', '-nodes', '-keyout', f'{file_name}.key', '-out', f'{file_name}.csr',
                '-subj', f'/CN={host}', cwd=self.dir)
        openssl('ca', '-batch', '-config', str(config), '-extensions', 'server', '-in', f'{file_name}.csr',
                '-out', f'{file_name}.pem', '-notext', '-startdate', f'{start:%Y%m%d%H%M%SZ}',
                '-enddate', f'{end:%Y%m%d%H%M%SZ}', cwd=self.dir)
        if chain:
            with open(self.dir / f'{file_name}.pem', 'a') as certificate:
                certificate.write((self.dir / 'ca.pem').read_text())
        return self.dir / f'{file_name}.pem', self.dir / f'{file_name}.key'
