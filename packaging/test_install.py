#!/usr/bin/python3
"""The packages as a user installs them: apt in scratch Debian 12 root filesystems (mmdebstrap minbase,
cached between runs outside the tree), never on this machine.

amd64, entered with chroot: the server package, the tools and the library, installed from their files with
their dependencies from Debian; its maintainer scripts meet a stand-in for systemd (a systemctl that keeps a
log and runs the unit's ExecStart with its EnvironmentFile, under /run/systemd/system as systemd would
have it), so that enabling, starting, restarting on upgrade (a second version built for the test),
stopping on remove and cleaning up on purge are each seen done; the packaged ks_remote_run runs a network
on the packaged server.

armhf, entered through qemu-arm-static's binfmt: the library, its -dev package and the tools, then the
README's example built against the installed -dev package with the cross compiler, the root as its
sysroot, and run in the root against a server; ks_remote_run of the tools package too; then removed and
purged, leaving nothing.

Prints one line per check and "N passed, M failed"; exits 1 when any check fails.
"""

import argparse
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.request

MIRROR = "deb http://deb.debian.org/debian bookworm main"
VERSION_RE = re.compile(r"_([0-9.]+)_")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness"))
import ks_harness  # noqa: E402

# The checks' tally; scripts/test-packages hands in its own.
tally = ks_harness.Tally("install")


def report(ok, what, detail=""):
    return tally.check(what, ok, detail)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, errors="replace", **kwargs)


def tail(done, lines=4):
    return " ".join((done.stdout + done.stderr).strip().splitlines()[-lines:])


free_port = ks_harness.free_port


def healthy(port, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthz", timeout=2) as reply:
                if reply.read() == b"ok\n":
                    return True
        except OSError:
            time.sleep(0.2)
    return False


class Root:
    """A scratch root filesystem unpacked from the cached tarball for `arch` with `include`d packages."""

    def __init__(self, arch, include, cache):
        self.arch = arch
        key = hashlib.sha256(f"{arch} {sorted(include)} {MIRROR}".encode()).hexdigest()[:16]
        tarball = os.path.join(cache, f"bookworm-{arch}-{key}.tar")
        if not os.path.exists(tarball):
            os.makedirs(cache, exist_ok=True)
            partial = tarball[:-len(".tar")] + ".partial.tar"  # mmdebstrap writes what the name ends in
            started = time.monotonic()
            done = run(["mmdebstrap", "--quiet", "--variant=minbase", f"--arch={arch}",
                        "--include=" + ",".join(include), "bookworm", partial, MIRROR])
            if done.returncode != 0:
                raise RuntimeError(f"mmdebstrap {arch}: {tail(done, 8)}")
            os.rename(partial, tarball)
            print(f"  made the {arch} root in {time.monotonic() - started:.0f} s (cached as {tarball})")
        self.path = tempfile.mkdtemp(prefix=f"ks-root-{arch}.")
        with tarfile.open(tarball) as archive:
            archive.extractall(self.path, numeric_owner=True)
        self.mounted = []

    def mount_proc(self):
        target = os.path.join(self.path, "proc")
        run(["mount", "-t", "proc", "proc", target], check=True)
        self.mounted.append(target)

    def file(self, path):
        return os.path.join(self.path, path.lstrip("/"))

    def chroot(self, command, env=None, timeout=900):
        environment = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                       "DEBIAN_FRONTEND": "noninteractive", "LC_ALL": "C"}
        environment.update(env or {})
        return run(["chroot", self.path] + command, env=environment, timeout=timeout)

    def apt(self, *arguments):
        return self.chroot(["apt-get", "-y", "-q", "-o", "Dpkg::Options::=--force-confdef",
                            "-o", "Dpkg::Options::=--force-confold"] + list(arguments))

    def install(self, *files):
        """apt-get install of package files, reading the mirror's lists first when the root's own lack a
        dependency (mmdebstrap leaves none)."""
        done = self.apt("install", *files)
        if done.returncode != 0:
            self.apt("update")
            done = self.apt("install", *files)
        return done

    def copy_in(self, files, folder="/tmp/debs"):
        os.makedirs(self.file(folder), exist_ok=True)
        for f in files:
            shutil.copy(f, self.file(folder))
        return [os.path.join(folder, os.path.basename(f)) for f in files]

    def close(self):
        for target in reversed(self.mounted):
            run(["umount", "-l", target])
        shutil.rmtree(self.path, ignore_errors=True)


# A systemctl for roots without systemd: logs every call; "start"/"restart" run the unit's ExecStart with
# its EnvironmentFile in the background and keep its pid, "stop" ends it, "preset"/"enable"/"disable" make
# and remove the enable link, "is-enabled" and "is-active" answer from the link and the pid.
SYSTEMCTL = r"""#!/bin/sh
echo "$*" >> /var/log/ks-systemctl.log
unit=ks-inference-server.service
pidfile=/run/ks-inference-server.pid
for word in "$@"; do action=${action:-}; case $word in -*) ;; *) [ -z "$action" ] && action=$word ;; esac; done
stop() { [ -f $pidfile ] && kill "$(cat $pidfile)" 2>/dev/null; rm -f $pidfile; sleep 0.5; }
case "$*" in *--version*) echo "systemd 252 (252)"; exit 0 ;; esac
case $action in
  start|restart)
    case "$*" in *$unit*) ;; *) exit 0 ;; esac
    [ "$action" = restart ] && stop
    set -a; [ -f /etc/default/ks-inference-server ] && . /etc/default/ks-inference-server; set +a
    exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/$unit)
    eval "nohup $exec_start >/var/log/ks-inference-server.log 2>&1 &"
    echo $! > $pidfile ;;
  stop) case "$*" in *$unit*) stop ;; esac ;;
  is-enabled)
    if [ -e /etc/systemd/system/multi-user.target.wants/$unit ]; then echo enabled; else echo disabled; exit 1; fi ;;
  preset|enable)
    mkdir -p /etc/systemd/system/multi-user.target.wants
    ln -sf /lib/systemd/system/$unit /etc/systemd/system/multi-user.target.wants/$unit ;;
  disable) rm -f /etc/systemd/system/multi-user.target.wants/$unit ;;
  is-active) [ -f $pidfile ] && kill -0 "$(cat $pidfile)" 2>/dev/null ;;
  *) exit 0 ;;
esac
"""


def systemctl_log(root):
    path = root.file("/var/log/ks-systemctl.log")
    return open(path).read().splitlines() if os.path.exists(path) else []


def server_pid(root):
    path = root.file("/run/ks-inference-server.pid")
    return open(path).read().strip() if os.path.exists(path) else ""


def amd64(args):
    debs = {os.path.basename(d).split("_")[0]: d for d in glob.glob(os.path.join(args.packages, "amd64", "*.deb"))}
    upgrade = glob.glob(os.path.join(args.upgrade_packages, "ks-inference-server_*_amd64.deb"))[0]
    new_version = VERSION_RE.search(os.path.basename(upgrade)).group(1)
    # What the packages depend on comes with the root, so that a run downloads nothing once it is cached.
    root = Root("amd64", ["libcpp-httplib0.11", "libprotobuf32", "libseccomp2"], args.cache)
    try:
        root.mount_proc()
        # The framework's core, which the tools' libks_netclient needs, as a device's framework provides it.
        run(["cmake", "--install", args.host_build, "--component", "ks_core_standin", "--prefix",
             root.file("/usr")], check=True)
        os.makedirs(root.file("/run/systemd/system"), exist_ok=True)
        # Where systemd's own would be (apt runs maintainer scripts with a PATH of its choosing).
        with open(root.file("/usr/bin/systemctl"), "w") as stub:
            stub.write(SYSTEMCTL)
        os.chmod(root.file("/usr/bin/systemctl"), 0o755)
        port = free_port()
        # The operator's options, set before the package comes: dpkg keeps them as the conffile.
        os.makedirs(root.file("/etc/default"), exist_ok=True)
        with open(root.file("/etc/default/ks-inference-server"), "w") as options:
            options.write(f'KS_INFERENCE_SERVER_OPTS="--port {port}"\n')

        files = root.copy_in([debs["ks-inference-server"], debs["libks-netclient1"], debs["ks-netclient-tools"]])
        done = root.install(*files)
        if not report(done.returncode == 0, "amd64: apt installs the server, the tools and the library with their "
                                            "dependencies from Debian", tail(done)):
            return
        log = systemctl_log(root)
        report(os.path.islink(root.file("/etc/systemd/system/multi-user.target.wants/ks-inference-server.service")),
               "amd64: installing enables the service (deb-systemd-helper's link in multi-user.target.wants)")
        report(any("daemon-reload" in line for line in log) and any(line.startswith("start") or " start " in line
                                                                    for line in log),
               "amd64: installing reloads systemd and starts the service", "; ".join(log))
        report(healthy(port), f"amd64: the started service answers /healthz on its port from /etc/default ({port})")
        first_pid = server_pid(root)

        models = root.file("/tmp/models")
        shutil.copytree(args.models, models)
        done = root.chroot(["ks_remote_run", "--server", f"127.0.0.1:{port}", "--net", "/tmp/models/cnn.onnx",
                            "--input", "image=/tmp/models/cnn.image.npy", "--save-outputs", "/tmp/out", "-q"])
        report(done.returncode == 0 and os.path.exists(root.file("/tmp/out/output_0.npy")),
               "amd64: the tools' ks_remote_run runs cnn on the packaged service", tail(done))

        # A cached network, for the purge to remove.
        os.makedirs(root.file("/var/lib/ks-inference-server"), exist_ok=True)
        open(root.file("/var/lib/ks-inference-server/cached"), "w").close()

        files = root.copy_in([upgrade], "/tmp/upgrade")
        done = root.install(*files)
        log = systemctl_log(root)
        report(done.returncode == 0 and any(line.startswith("restart") or " restart " in line for line in log),
               f"amd64: upgrading to {new_version} restarts the service", tail(done) + " " + "; ".join(log[-3:]))
        report(healthy(port) and server_pid(root) not in ("", first_pid),
               "amd64: the service answers again after the upgrade, from a new process")
        version = root.chroot(["dpkg-query", "-W", "-f=${Version}", "ks-inference-server"]).stdout
        report(version == new_version, f"amd64: dpkg records version {new_version}", version)
        report(f"--port {port}" in open(root.file("/etc/default/ks-inference-server")).read(),
               "amd64: the upgrade keeps the operator's /etc/default/ks-inference-server")

        done = root.apt("remove", "ks-inference-server")
        log = systemctl_log(root)
        report(done.returncode == 0 and any(line.startswith("stop") or " stop " in line for line in log),
               "amd64: removing stops the service", tail(done))
        report(not healthy(port, timeout=2), "amd64: nothing answers on the service's port after the removal")
        report(not os.path.exists(root.file("/usr/bin/ks_inference_server")) and
               os.path.exists(root.file("/etc/default/ks-inference-server")),
               "amd64: removing takes the programs and keeps the conffile")

        done = root.apt("purge", "ks-inference-server")
        leftovers = [p for p in ("/etc/default/ks-inference-server",
                                 "/etc/systemd/system/multi-user.target.wants/ks-inference-server.service",
                                 "/etc/systemd/system/ks-inference-server.service", "/var/lib/ks-inference-server")
                     if os.path.lexists(root.file(p))]
        report(done.returncode == 0 and not leftovers,
               "amd64: purging removes the conffile, the enable link, the mask and the state directory",
               tail(done) + " left: " + " ".join(leftovers))
    finally:
        root.close()


def readme_example():
    """The first C++ block of the README's "Using the library"."""
    with open(os.path.join(os.path.dirname(__file__), "..", "README.md")) as readme:
        text = readme.read()
    section = text[text.index("## Using the library"):]
    return section[section.index("```cpp\n") + 7:section.index("```", section.index("```cpp\n") + 7)]


def ensure_binfmt():
    """qemu-arm-static registered for armhf programs, as qemu-user-static's binfmt-support entry says."""
    if os.path.exists("/proc/sys/fs/binfmt_misc/qemu-arm"):
        return True
    if not os.path.ismount("/proc/sys/fs/binfmt_misc"):
        run(["mount", "-t", "binfmt_misc", "binfmt_misc", "/proc/sys/fs/binfmt_misc"])
    run(["update-binfmts", "--enable", "qemu-arm"])
    return os.path.exists("/proc/sys/fs/binfmt_misc/qemu-arm")


def armhf(args):
    if not report(ensure_binfmt(), "armhf: qemu-arm-static is registered with binfmt_misc"):
        return
    debs = {os.path.basename(d).split("_")[0]: d for d in glob.glob(os.path.join(args.packages, "armhf", "*.deb"))}
    root = Root("armhf", ["libstdc++-12-dev", "libc6-dev", "libcpp-httplib-dev"], args.cache)
    server = None
    try:
        run(["cmake", "--install", args.armhf_build, "--component", "ks_core_standin", "--prefix",
             root.file("/usr")], check=True)
        names = ["libks-netclient1", "libks-netclient-dev", "ks-netclient-tools"]
        files = root.copy_in([debs[n] for n in names])
        done = root.install(*files)
        if not report(done.returncode == 0, "armhf: apt installs the library, its -dev package and the tools",
                      tail(done)):
            return

        port = free_port()
        server = subprocess.Popen([args.server_program, "--port", str(port)], stdout=subprocess.DEVNULL,
                                  stderr=open(os.path.join(root.path, "server.log"), "w"))
        healthy(port)
        shutil.copytree(args.models, root.file("/tmp/models"))

        # The README's example, pointed at the test's server and network, built against the installed
        # package with the cross compiler and pkg-config over the root.
        source = readme_example().replace('"192.0.2.10", 8080', f'"127.0.0.1", {port}').replace(
            '"mlp.onnx"', '"/tmp/models/mlp.onnx"')
        with open(root.file("/tmp/example.cc"), "w") as f:
            f.write(source)
        environment = dict(os.environ, PKG_CONFIG_SYSROOT_DIR=root.path,
                           PKG_CONFIG_LIBDIR=root.file("/usr/lib/arm-linux-gnueabihf/pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "ks_netclient"], env=environment).stdout.split()
        done = run(["arm-linux-gnueabihf-g++", f"--sysroot={root.path}", "-std=c++17", root.file("/tmp/example.cc"),
                    "-o", root.file("/tmp/example")] + flags)
        report(done.returncode == 0, "armhf: the README's example builds against the installed -dev package "
                                     "(pkg-config, the root as sysroot)", tail(done))
        before = open(os.path.join(root.path, "server.log")).read().count("POST /inference")
        done = root.chroot(["/tmp/example"], timeout=300)
        inferences = open(os.path.join(root.path, "server.log")).read().count("POST /inference")
        report(done.returncode == 0 and inferences == before + 1,
               "armhf: the example runs in the root and its inference reaches the server", tail(done))
        done = root.chroot(["ks_remote_run", "--server", f"127.0.0.1:{port}", "--net", "/tmp/models/cnn.onnx",
                            "--input", "image=/tmp/models/cnn.image.npy", "--save-outputs", "/tmp/out", "-q"],
                           timeout=300)
        report(done.returncode == 0 and os.path.exists(root.file("/tmp/out/output_0.npy")),
               "armhf: the tools' ks_remote_run runs cnn from the root", tail(done))

        done = root.apt("purge", *names)
        left = root.chroot(["sh", "-c", "dpkg -l 'libks-netclient*' 'ks-netclient*' 2>/dev/null | grep '^[a-z][a-z] '"
                                        " || true"]).stdout.strip()
        stray = [p for p in ("/usr/bin/ks_remote_run", "/usr/include/ks_netclient",
                             "/usr/lib/arm-linux-gnueabihf/libks_netclient.so.1",
                             "/usr/share/doc/libks-netclient1") if os.path.lexists(root.file(p))]
        report(done.returncode == 0 and not stray and not left,
               "armhf: purging the three packages leaves nothing of them", tail(done) + " " + left + " ".join(stray))
    finally:
        if server:
            server.terminate()
            server.wait(timeout=40)
        root.close()


def install_test(args):
    """Both roots' checks, counted in `tally`."""
    if not report(os.geteuid() == 0, "the install test runs as root (chroot, mount)"):
        return
    started = time.monotonic()
    amd64(args)
    print(f"--- amd64 root done at {time.monotonic() - started:.0f}s", flush=True)
    armhf(args)
    print(f"--- armhf root done at {time.monotonic() - started:.0f}s", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--packages", required=True, help="folder with amd64/ and armhf/ packages")
    parser.add_argument("--upgrade-packages", required=True, help="folder with a later ks-inference-server")
    parser.add_argument("--host-build", required=True)
    parser.add_argument("--armhf-build", required=True)
    parser.add_argument("--server-program", required=True, help="a server for the armhf clients")
    parser.add_argument("--models", required=True, help="test networks with their inputs")
    parser.add_argument("--cache", required=True, help="where the root filesystems are cached")
    install_test(parser.parse_args())
    return tally.exit_code()


if __name__ == "__main__":
    sys.exit(main())
