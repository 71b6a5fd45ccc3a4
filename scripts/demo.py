#!/usr/bin/env python3
"""The demo: publishes the demo installer on a loopback nginx and runs trelkin.exe under Wine.
With a display, the user drives the program; without one, it is driven under Xvfb and a
screenshot of each stage is left behind."""
import argparse
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / 'tools' / 'wine'))
from wine_session import MAIN_CAPTION, Display, Driver, Nginx, Wine, add_build_arguments  # noqa: E402

IDOK, IDC_DOWNLOAD, IDC_INSTALL, IDC_OVERALL, IDC_PART, IDC_PART_LABEL = 1, 1003, 1005, 1000, 1001, 1002


def publish(pkgmake, installer, site, key):
    """Cuts and signs the package, and checks it as a vendor does before publishing."""
    folder = site / 'download' / 'brisko'
    shutil.rmtree(site, ignore_errors=True)  # published afresh each run: pkgmake writes only new folders
    folder.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([str(pkgmake), str(installer), '1.0.1', str(32 * 1024), str(folder), '--sign', str(key)], check=True)
    public = Path(key).with_suffix('.pub').read_text().strip()
    subprocess.run([str(pkgmake), 'verify', str(folder), public], check=True)


def drive(wine, display, driver_exe, home, shots):
    driver = Driver(wine, driver_exe)
    app = wine.start(home / 'trelkin.exe', cwd=home)
    try:
        if not driver.wait(MAIN_CAPTION, 60000):
            print('The dialog did not appear.')
            return 1
        time.sleep(0.5)
        display.screenshot(shots / '1-ready.png')
        if driver.enabled(IDC_INSTALL):
            print('The installer is already complete from an earlier run: Install is enabled at once.')
        else:
            driver.click(IDC_DOWNLOAD)
            # The shot is taken once a part is on its way, not when the click lands.
            deadline = time.time() + 20
            while time.time() < deadline and not (driver.visible(IDC_PART_LABEL) and driver.progress(IDC_PART)[0] > 0):
                time.sleep(0.1)
            display.screenshot(shots / '2-downloading.png')
            deadline = time.time() + 120
            while not driver.enabled(IDC_INSTALL) and time.time() < deadline:
                time.sleep(0.2)
        pos, _, high = driver.progress(IDC_OVERALL)
        print(f'Overall bar: {pos} of {high}; Install enabled: {driver.enabled(IDC_INSTALL)}')
        display.screenshot(shots / '3-finished.png')
        driver.click(IDC_INSTALL)
        if driver.wait('Corvane Software Setup', 30000):
            time.sleep(0.5)
            display.screenshot(shots / '4-installed.png')
            driver.ask('dismiss', 'Corvane Software Setup')
            print('The installer ran and said: Corvane Software has been installed.')
        driver.click(IDOK)
        app.wait(timeout=30)
        return 0
    finally:
        if app.poll() is None:
            app.kill()
        driver.close()


def main():
    parser = argparse.ArgumentParser()
    add_build_arguments(parser)
    parser.add_argument('--pkgmake', required=True)
    parser.add_argument('--signing-key', required=True, help='the private key the package is signed with')
    parser.add_argument('--work', required=True)
    args = parser.parse_args()

    work = Path(args.work)
    site, home, shots = work / 'site', work / 'home', work / 'screenshots'
    for folder in (home, shots):
        folder.mkdir(parents=True, exist_ok=True)
    publish(args.pkgmake, args.installer, site, args.signing_key)
    (home / 'trelkin.exe').write_bytes(Path(args.trelkin).read_bytes())

    # At 16 KiB/s (nginx lets a second's worth through at once) each 32 KiB part takes about a second:
    # long enough to see the download, and to show it.
    server = Nginx(site, args.port, rate='16k')
    display = Display(use_existing=True)
    wine = Wine(display, prefix=work / 'wineprefix')
    try:
        print(f'Serving the demo package on http://127.0.0.1:{args.port}/download/brisko/ ; home folder {home}')
        if display.process is None:
            print('Starting trelkin.exe on your display. Press Download, then Install; Done ends it.')
            app = wine.start(home / 'trelkin.exe', cwd=home)
            app.wait()
            result = 0
        else:
            result = drive(wine, display, args.driver, home, shots)
            print(f'Screenshots of each stage: {shots}')
        print(f'Requests the server answered: {len(server.requests())}')
        return result
    finally:
        wine.close()
        display.close()
        server.close()


if __name__ == '__main__':
    sys.exit(main())
