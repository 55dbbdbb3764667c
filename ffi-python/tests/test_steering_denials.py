"""A gated run whose text sets a variable that would make an allowlisted
program run code of the text's choosing is denied: ZantuDenied naming the
variable, one audit denial per gated value, no confirmation request, nothing
run. Each case is shown working ungated first, so the fixture is real."""
import os
import shutil
import subprocess
import sys

import pytest

from checks import audit_lines, write_allowlist
from vaultfiles import literal
from zantu_ffi import ZantuDenied

HOME_REASON = "chooses the per-user start-up files that programs read"
GIT_REASON = "makes git run a command or read a configuration the text chooses"
PYTHON_REASON = "changes which code Python loads or runs"
MODULE_REASON = "makes a library inside the program load a module or start a program the text chooses"
TOOL_CONFIG_REASON = "chooses a start-up or configuration file that tells the tool what to run, load or send"
TOOL_PROGRAM_REASON = "names a program or code that the tool runs"
NPM_REASON = "sets npm's configuration, which chooses the shell and the programs npm runs"
COMMAND_REASON = "names a command that programs run for their user"
BUILD_REASON = "gives a build tool makefiles, options or an installation that run code the text chooses"
PIP_REASON = "sets pip's configuration, which chooses where pip finds the packages whose build code it runs"
TERRAFORM_REASON = "adds arguments to terraform's commands, which choose the plugins it runs"
SHIM_REASON = "steers a version manager's shim, a shell script that sources hooks and chooses the program it runs"
TRACE_REASON = ("turns on debugging output that writes the program's credentials or TLS keys beyond the reach of "
                "masking")
DAEMON_REASON = "chooses the daemon to which the tool sends everything it is given"
DENIAL = "variable `{}` {}; high/prod injection refused"
PYTHON = os.path.realpath(sys.executable)
GIT = shutil.which("git")
OPENSSL = shutil.which("openssl")
MAKE = "/usr/bin/make"


def copy_db_script(path, leak):
    """A script that copies $DB into `leak`: the text author's code."""
    path.write_text(f"#!/bin/sh\nprintf %s \"$DB\" > '{leak}'\n")
    path.chmod(0o755)
    return path


def user_site_home(tmp_path, leak):
    """A HOME whose user site holds a .pth file that copies $DB into `leak`
    when any Python starts. Returns the text line."""
    home = tmp_path / "home"
    site = home / ".local" / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "site-packages"
    site.mkdir(parents=True)
    (site / "zt-steer.pth").write_text(
        f"import os; open({str(leak)!r}, 'w').write(os.environ.get('DB', ''))\n")
    return f"HOME={home}\n"


def git_repo(tmp_path):
    """A repository with one commit, made with no one's configuration."""
    repo = tmp_path / "repo"
    repo.mkdir()
    (repo / "f").write_text("f\n")
    env = {**os.environ, "HOME": str(tmp_path), "GIT_CONFIG_NOSYSTEM": "1"}
    for args in (["init", "-q"], ["add", "f"], ["-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "f"]):
        subprocess.run([GIT, *args], cwd=repo, check=True, timeout=30, env=env)
    return repo


def planted_openssl_conf(tmp_path, leak):
    """An OpenSSL configuration that loads the planted module as a provider,
    which copies $DB into `leak` as the program starts. Returns the text
    lines."""
    module = os.environ.get("ZANTU_PLANTED_MODULE")
    if not module:
        pytest.skip("ZANTU_PLANTED_MODULE is not set (ctest sets it to the built zantu_planted_module)")
    conf = tmp_path / "openssl.cnf"
    conf.write_text("openssl_conf = init\n[init]\nproviders = providers\n[providers]\nplanted = planted\n"
                    f"[planted]\nmodule = {module}\nactivate = 1\n")
    return f"OPENSSL_CONF={conf}\nPLANTED_MARKER={leak}\n"


def demo(kind, tmp_path, monkeypatch):
    """(program, args, text lines, variable named in the denial, its reason,
    the file the author's code would write)."""
    leak = tmp_path / "leak"
    if kind == "OPENSSL_CONF-python":
        return (PYTHON, ["-c", "import ssl"], planted_openssl_conf(tmp_path, leak), "OPENSSL_CONF", MODULE_REASON,
                leak)
    if kind == "OPENSSL_CONF-openssl":
        if OPENSSL is None:
            pytest.skip("needs openssl")
        return (os.path.realpath(OPENSSL), ["version"], planted_openssl_conf(tmp_path, leak), "OPENSSL_CONF",
                MODULE_REASON, leak)
    if kind == "MAKEFILES":
        # make reads the makefiles MAKEFILES names before the project's own,
        # for any goal; a `$(shell ...)` in one runs as it is read.
        if not os.access(MAKE, os.X_OK):
            pytest.skip(f"needs {MAKE}")
        project = tmp_path / "project"
        project.mkdir()
        (project / "Makefile").write_text("deploy:\n\t@echo deployed\n")
        (tmp_path / "steer.mk").write_text(f"STOLEN := $(shell printf %s \"$$DB\" > '{leak}')\n")
        monkeypatch.chdir(project)
        return MAKE, ["deploy"], f"MAKEFILES={tmp_path / 'steer.mk'}\n", "MAKEFILES", BUILD_REASON, leak
    if kind == "HOME":
        return PYTHON, ["-c", "print('done')"], user_site_home(tmp_path, leak), "HOME", HOME_REASON, leak
    if kind == "PYTHONWARNINGS":
        # The warning category's module is imported as Python starts: the
        # standard library's antigravity opens a web page through BROWSER,
        # which the text names too.
        browser = copy_db_script(tmp_path / "browser", leak)
        return (PYTHON, ["-c", "print('done')"], f"PYTHONWARNINGS=ignore::antigravity.W\nBROWSER={browser}\n",
                "PYTHONWARNINGS", PYTHON_REASON, leak)
    if GIT is None:
        pytest.skip("needs git")
    hook = copy_db_script(tmp_path / "hook", leak)
    monkeypatch.chdir(git_repo(tmp_path))
    if kind == "XDG_CONFIG_HOME":
        config = tmp_path / "xdg" / "git"
        config.mkdir(parents=True)
        (config / "config").write_text(f"[core]\n\tfsmonitor = {hook}\n")
        return GIT, ["status", "--short"], f"XDG_CONFIG_HOME={tmp_path / 'xdg'}\n", "XDG_CONFIG_HOME", HOME_REASON, leak
    # git takes configuration from the environment as well.
    lines = f"GIT_CONFIG_COUNT=1\nGIT_CONFIG_KEY_0=core.fsmonitor\nGIT_CONFIG_VALUE_0={hook}\n"
    return GIT, ["status", "--short"], lines, "GIT_CONFIG_COUNT", GIT_REASON, leak


@pytest.mark.parametrize("kind", ["HOME", "PYTHONWARNINGS", "XDG_CONFIG_HOME", "GIT_CONFIG_COUNT",
                                  "OPENSSL_CONF-python", "OPENSSL_CONF-openssl", "MAKEFILES"])
@pytest.mark.parametrize("gate", ["prod", "high"])
def test_text_that_would_steer_an_allowlisted_program_is_denied(vault, tmp_path, monkeypatch, kind, gate):
    # A request filed by mistake would time out quickly rather than hold the test.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "1500")
    vault.plant(literal("dev/app/db", b"dev-pass", sensitivity="medium"))
    vault.plant(literal("prod/app/db", b"prod-pass", sensitivity="medium"))
    vault.plant(literal("dev/app/key", b"key-pass", sensitivity="high"))
    program, args, steer, name, reason, leak = demo(kind, tmp_path, monkeypatch)
    write_allowlist(vault, program + "\n")
    session = vault.session()

    # Ungated, the steering works: the author's code sees the value.
    session.inject_run(steer + "DB=secret:dev/app/db\n", "dev", program, args)
    assert leak.read_bytes() == b"dev-pass"
    leak.unlink()

    gated = "DB=secret:prod/app/db\n" if gate == "prod" else "DB=secret:dev/app/key\n"
    denial = [("deny", "denied:steering-variable", "prod/app/db", "prod")] if gate == "prod" else \
        [("deny", "denied:steering-variable", "dev/app/key", "dev")]
    before = audit_lines(vault)
    with pytest.raises(ZantuDenied) as info:
        session.inject_run(steer + gated + "LIT=plain\n", "dev", program, args)
    assert type(info.value) is ZantuDenied
    assert info.value.args == (DENIAL.format(name, reason),)
    assert not leak.exists()
    assert audit_lines(vault) == before + denial
    assert not os.path.exists(os.path.join(vault.root, "pending"))

    # Without the lines the allowlisted program runs as its author meant.
    if gate == "prod":
        out = session.inject_run(gated, "dev", program, args)
        assert out["status"] == 0
        assert not leak.exists()


def test_env_and_tmpdir_beside_a_prod_value_run(vault, tmp_path):
    vault.plant(literal("prod/app/db", b"prod-pass", sensitivity="medium"))
    write_allowlist(vault, "/bin/sh\n")
    out = vault.session().inject_run(
        "ENV=production\nTMPDIR=/tmp\nDB=secret:prod/app/db\n", "dev", "/bin/sh",
        ["-c", "printf '%s|%s|%s' \"$ENV\" \"$TMPDIR\" \"$DB\""])
    assert out == {"status": 0, "stdout": b"production|/tmp|***", "stderr": b""}
    assert audit_lines(vault) == [("inject", "injected", "prod/app/db", "prod")]


# Variables through which libraries inside a program, and the tools most often
# given production values, load modules or run commands, write credentials
# out or send them elsewhere: one row or more per route. npm's prefix is
# matched in any case, as npm reads it.
LIBRARY_AND_TOOL_VARIABLES = [
    *[(n, MODULE_REASON) for n in (
        "OPENSSL_CONF", "OPENSSL_CONF_INCLUDE", "OPENSSL_MODULES", "OPENSSL_ENGINES", "DBUS_SESSION_BUS_ADDRESS",
        "DBUS_SYSTEM_BUS_ADDRESS", "DBUS_STARTER_ADDRESS", "GIO_EXTRA_MODULES", "GIO_MODULE_DIR",
        "GIO_LAUNCH_DESKTOP", "GTK_MODULES", "GTK2_MODULES", "GTK3_MODULES", "GTK_PATH", "SASL_PATH",
        "KRB5_CONFIG", "GSS_MECH_CONFIG", "SSH_SK_PROVIDER")],
    *[(n, TOOL_CONFIG_REASON) for n in (
        "PSQLRC", "PGSYSCONFDIR", "PGSERVICEFILE", "WGETRC", "SYSTEM_WGETRC", "CURL_HOME", "GNUPGHOME",
        "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE", "KUBECONFIG", "AZURE_CONFIG_DIR", "CLOUDSDK_CONFIG",
        "TF_CLI_CONFIG_FILE", "TERRAFORM_CONFIG", "DOCKER_CONFIG", "CARGO_HOME")],
    *[(n, TOOL_PROGRAM_REASON) for n in (
        "AZURE_EXTENSION_DIR", "CLOUDSDK_PYTHON", "RUSTC", "RUSTC_WRAPPER", "RUSTC_WORKSPACE_WRAPPER", "RUSTDOC",
        "RUSTFLAGS", "CARGO_BUILD_RUSTC", "CARGO_BUILD_RUSTC_WRAPPER", "CARGO_BUILD_RUSTC_WORKSPACE_WRAPPER",
        "CARGO_BUILD_RUSTDOC", "CARGO_BUILD_RUSTFLAGS", "CARGO_ENCODED_RUSTFLAGS",
        "CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_LINKER", "CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUNNER",
        "CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUSTFLAGS", "CARGO_TARGET_DIR", "RUSTDOCFLAGS",
        "CARGO_BUILD_RUSTDOCFLAGS", "CARGO_ENCODED_RUSTDOCFLAGS", "RUSTUP_TOOLCHAIN", "RUSTUP_HOME",
        "CLOUDSDK_PYTHON_ARGS", "CLOUDSDK_GSUTIL_PYTHON", "CLOUDSDK_BQ_PYTHON")],
    *[(n, BUILD_REASON) for n in (
        "MAKEFILES", "MAKEFLAGS", "GNUMAKEFLAGS", "MAVEN_OPTS", "MAVEN_DEBUG_OPTS", "MAVEN_BASEDIR", "MAVEN_CONFIG",
        "MAVEN_ARGS", "M2_HOME", "MAVEN_HOME", "GRADLE_OPTS", "GRADLE_USER_HOME")],
    *[(n, PIP_REASON) for n in ("PIP_INDEX_URL", "PIP_EXTRA_INDEX_URL", "PIP_FIND_LINKS", "PIP_CONFIG_FILE")],
    *[(n, TERRAFORM_REASON) for n in ("TF_CLI_ARGS", "TF_CLI_ARGS_init", "TF_CLI_ARGS_plan")],
    *[(n, SHIM_REASON) for n in ("PYENV_HOOK_PATH", "PYENV_VERSION", "RBENV_HOOK_PATH", "NODENV_HOOK_PATH",
                                 "ASDF_DATA_DIR")],
    *[(n, TRACE_REASON) for n in ("GIT_TRACE", "GIT_TRACE_CURL", "GIT_TRACE_REDACT", "GIT_CURL_VERBOSE",
                                  "GIT_REDACT_COOKIES", "SSLKEYLOGFILE")],
    ("DOCKER_HOST", DAEMON_REASON),
    *[(n, NPM_REASON) for n in (
        "npm_config_script_shell", "NPM_CONFIG_SCRIPT_SHELL", "Npm_Config_script_shell", "npm_config_node_options",
        "NPM_CONFIG_USERCONFIG")],
    *[(n, COMMAND_REASON) for n in ("PSQL_EDITOR", "PSQL_PAGER", "PSQL_WATCH_PAGER", "KUBE_EDITOR",
                                    "KUBECTL_EXTERNAL_DIFF")],
    ("GIT_ALLOW_PROTOCOL", GIT_REASON),
]


def test_library_and_tool_variables_are_denied_but_ordinary_configuration_runs(vault, tmp_path, monkeypatch):
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "1500")
    vault.plant(literal("prod/app/db", b"prod-pass", sensitivity="medium"))
    vault.plant(literal("dev/app/key", b"key-pass", sensitivity="high"))
    write_allowlist(vault, "/bin/sh\n")
    leak = tmp_path / "leak"
    session = vault.session()
    # The high value would have a human asked first: no request may be filed.
    gated = "DB=secret:prod/app/db\nKEY=secret:dev/app/key\n"
    denial = [("deny", "denied:steering-variable", "prod/app/db", "prod"),
              ("deny", "denied:steering-variable", "dev/app/key", "dev")]
    for name, reason in LIBRARY_AND_TOOL_VARIABLES:
        before = audit_lines(vault)
        with pytest.raises(ZantuDenied) as info:
            session.inject_run(f"{name}=zt-steer\n" + gated, "dev", "/bin/sh",
                               ["-c", f"printf %s \"$DB\" > '{leak}'"])
        assert info.value.args == (DENIAL.format(name, reason),)
        assert audit_lines(vault) == before + denial, name
        assert not leak.exists(), name
    assert not os.path.exists(os.path.join(vault.root, "pending"))

    # Names that only resemble a listed one reach the program, and so does
    # the host's own setting of a listed one, which the text does not write.
    monkeypatch.setenv("AWS_CONFIG_FILE", "/etc/owner/aws-config")
    names = ["DATABASE_URL", "AWS_REGION", "NODE_ENV", "SSL_CERT_FILE", "PGHOST", "APP_CONFIG_FILE", "ENV",
             "TMPDIR", "npm_package_name", "NPM_CONFIGX", "openssl_conf", "JAVA_HOME", "CC", "CXX", "JAVA_OPTS",
             "GOPATH", "AWS_PROFILE", "HTTPS_PROXY", "REQUESTS_CA_BUNDLE", "TF_VAR_region",
             "CARGO_REGISTRIES_MY_TOKEN", "TZ", "LANG", "TERM", "pip_index_url", "PIPX_HOME"]
    text = "".join(f"{n}=v-{n}\n" for n in names) + "DB=secret:prod/app/db\n"
    shown = " ".join(f"${{{n}}}" for n in [*names, "AWS_CONFIG_FILE", "DB"])
    before = audit_lines(vault)
    out = session.inject_run(text, "dev", "/bin/sh", ["-c", f'printf %s "{shown}"'])
    expected = " ".join([*(f"v-{n}" for n in names), "/etc/owner/aws-config", "***"])
    assert out == {"status": 0, "stdout": expected.encode(), "stderr": b""}
    assert audit_lines(vault) == before + [("inject", "injected", "prod/app/db", "prod")]
