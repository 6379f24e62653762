"""Debian packages for the server peers, installed only when missing and only when allowed.

Installing never starts the packages' own services (a policy-rc.d that refuses is put in place
for the duration, when none exists): the benchmark runs its own throwaway servers.
"""

import glob
import os
import re
import shutil
import subprocess

from peers.base import Skip

_updated = False


def installed(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                            capture_output=True, text=True)
    return result.returncode == 0 and "install ok installed" in result.stdout


def _as_root(cmd):
    if os.geteuid() == 0:
        return cmd
    if shutil.which("sudo") is None:
        raise Skip("installing Debian packages needs root or sudo")
    return ["sudo", "-n"] + cmd


def apt_update():
    """apt-get update, once per run."""
    global _updated
    if not _updated:
        subprocess.run(_as_root(["apt-get", "update", "-qq"]), capture_output=True)
        _updated = True


def apt_install(packages):
    """Installs the packages (after apt_update); raises Skip on failure."""
    apt_update()
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    policy = "/usr/sbin/policy-rc.d"
    own_policy = os.geteuid() == 0 and not os.path.exists(policy)
    if own_policy:
        with open(policy, "w") as f:
            f.write("#!/bin/sh\n# no service starts while the benchmark installs\nexit 101\n")
        os.chmod(policy, 0o755)
    try:
        result = subprocess.run(_as_root(["apt-get", "install", "-y", "-qq", *packages]),
                                env=env, capture_output=True, text=True)
    finally:
        if own_policy:
            os.remove(policy)
    if result.returncode != 0:
        lines = (result.stderr or result.stdout).strip().splitlines()
        raise Skip(f"apt-get install {' '.join(packages)} failed: "
                   f"{lines[-1] if lines else 'exit ' + str(result.returncode)}")


def redis_binary(allow_install):
    """Path of redis-server, installing Debian's package when allowed."""
    path = shutil.which("redis-server") or ("/usr/bin/redis-server"
                                            if os.path.exists("/usr/bin/redis-server") else None)
    if path:
        return path
    if not allow_install:
        raise Skip("redis-server is not installed (a --tiny run installs no system packages)")
    apt_install(["redis-server"])
    return "/usr/bin/redis-server"


def _postgres_majors():
    majors = []
    for initdb in glob.glob("/usr/lib/postgresql/*/bin/initdb"):
        major = initdb.split("/")[4]
        if major.isdigit():
            majors.append(int(major))
    return sorted(majors)


def _postgis_package(major):
    """The name of the PostGIS package built for this PostgreSQL major version, if any."""
    result = subprocess.run(["apt-cache", "search", "--names-only",
                             f"^postgresql-{major}-postgis-[0-9]+$"],
                            capture_output=True, text=True)
    names = [line.split()[0] for line in result.stdout.splitlines() if line.strip()]
    names.sort(key=lambda n: int(re.search(r"postgis-(\d+)$", n).group(1)))
    return names[-1] if names else None


def postgis_bindir(allow_install):
    """PostgreSQL's bin directory for a version that has PostGIS, installing both when allowed."""
    majors = _postgres_majors()
    for major in reversed(majors):
        if os.path.exists(f"/usr/share/postgresql/{major}/extension/postgis.control"):
            return f"/usr/lib/postgresql/{major}/bin"
    if not allow_install:
        missing = "PostGIS" if majors else "PostgreSQL and PostGIS"
        raise Skip(f"{missing} not installed (a --tiny run installs no system packages)")
    if not majors:
        apt_install(["postgresql"])
        majors = _postgres_majors()
        if not majors:
            raise Skip("the postgresql package installed no server")
    major = majors[-1]
    apt_update()
    package = _postgis_package(major)
    if package is None:
        raise Skip(f"no PostGIS package for PostgreSQL {major} in the package lists")
    apt_install([package])
    if not os.path.exists(f"/usr/share/postgresql/{major}/extension/postgis.control"):
        raise Skip(f"{package} installed no postgis extension for PostgreSQL {major}")
    return f"/usr/lib/postgresql/{major}/bin"
